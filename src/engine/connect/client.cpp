#include "engine/connect/client.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include <fmt/format.h>
#include <google/protobuf/io/coded_stream.h>
#include <grpcpp/grpcpp.h>

#include "spark/connect/base.grpc.pb.h"

namespace engine::connect {

namespace sc = spark::connect;

struct Client::Stub {
  std::unique_ptr<sc::SparkConnectService::Stub> stub;
};

namespace {

std::chrono::milliseconds envSeconds(const char* name, std::chrono::milliseconds fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  double s = std::strtod(v, &end);
  if (end == v || *end != '\0' || !(s > 0))
    throw IllegalArgumentException(fmt::format("{} must be a positive number of seconds, got '{}'", name, v));
  return std::chrono::milliseconds(static_cast<std::int64_t>(s * 1000));
}

std::string seconds(std::chrono::milliseconds d) {
  return fmt::format("{:g} s", static_cast<double>(d.count()) / 1000.0);
}

// What Spark sends with a failed call: google.rpc.Status (code, message, details) whose details hold a
// google.rpc.ErrorInfo (reason = the exception's class; metadata: "classes" (its class hierarchy as JSON),
// "errorClass", "sqlState", "errorId" for FetchErrorDetails). Decoded from the wire format directly: these two
// small messages are not part of Spark Connect's protocol files.
struct ErrorInfo {
  std::string reason;
  std::map<std::string, std::string> metadata;
};

bool readLengthDelimited(google::protobuf::io::CodedInputStream& in, std::string& out) {
  std::uint32_t len = 0;
  return in.ReadVarint32(&len) && in.ReadString(&out, static_cast<int>(len));
}

std::optional<ErrorInfo> parseErrorInfo(const std::string& bytes) {
  ErrorInfo info;
  google::protobuf::io::CodedInputStream in(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            static_cast<int>(bytes.size()));
  while (std::uint32_t tag = in.ReadTag()) {
    int field = static_cast<int>(tag >> 3);
    if ((tag & 7) != 2) {
      if (!google::protobuf::internal::WireFormatLite::SkipField(&in, tag)) return std::nullopt;
      continue;
    }
    std::string payload;
    if (!readLengthDelimited(in, payload)) return std::nullopt;
    if (field == 1) {
      info.reason = payload;
    } else if (field == 3) {  // map entry: key = 1, value = 2
      google::protobuf::io::CodedInputStream entry(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                                   static_cast<int>(payload.size()));
      std::string key, value;
      while (std::uint32_t t = entry.ReadTag()) {
        std::string s;
        if ((t & 7) != 2 || !readLengthDelimited(entry, s)) break;
        ((t >> 3) == 1 ? key : value) = s;
      }
      info.metadata[key] = value;
    }
  }
  return info;
}

std::optional<ErrorInfo> errorInfoOf(const grpc::Status& status) {
  const std::string& details = status.error_details();
  if (details.empty()) return std::nullopt;
  google::protobuf::io::CodedInputStream in(reinterpret_cast<const std::uint8_t*>(details.data()),
                                            static_cast<int>(details.size()));
  while (std::uint32_t tag = in.ReadTag()) {
    if ((tag >> 3) != 3 || (tag & 7) != 2) {
      if (!google::protobuf::internal::WireFormatLite::SkipField(&in, tag)) return std::nullopt;
      continue;
    }
    std::string any;  // google.protobuf.Any: type_url = 1, value = 2
    if (!readLengthDelimited(in, any)) return std::nullopt;
    google::protobuf::io::CodedInputStream a(reinterpret_cast<const std::uint8_t*>(any.data()),
                                             static_cast<int>(any.size()));
    std::string typeUrl, value;
    while (std::uint32_t t = a.ReadTag()) {
      std::string s;
      if ((t & 7) != 2 || !readLengthDelimited(a, s)) break;
      ((t >> 3) == 1 ? typeUrl : value) = s;
    }
    if (typeUrl.ends_with("google.rpc.ErrorInfo")) return parseErrorInfo(value);
  }
  return std::nullopt;
}

// Spark's messages end with the plan that failed (";\n'Project ..."); the first line names the problem. A
// parse error's message starts with a line break ("\n[PARSE_SYNTAX_ERROR] ...\n\n== SQL ==\n...").
std::string firstLine(const std::string& message) {
  const std::size_t start = std::min(message.size(), message.find_first_not_of("\r\n "));
  std::string s = message.substr(start, message.find('\n', start) - start);
  while (!s.empty() && (s.back() == ';' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

// A Python worker's failure comes as "[PYTHON_EXCEPTION] ...\nTraceback (most recent call last):\n ...\n
// ValueError: text\n" (sometimes followed by the JVM's frames): the exception is the last "Name: text" line of
// the traceback. Returns the type name and the text, or nullopt when the message holds no traceback.
std::optional<std::pair<std::string, std::string>> pythonError(const std::string& message) {
  const auto traceback = message.find("Traceback (most recent call last):");
  if (traceback == std::string::npos) return std::nullopt;
  std::optional<std::pair<std::string, std::string>> found;
  std::size_t start = message.find('\n', traceback);
  while (start != std::string::npos && start + 1 < message.size()) {
    const std::size_t end = message.find('\n', start + 1);
    const std::string line = message.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    start = end;
    if (line.empty() || line[0] == ' ' || line[0] == '\t') continue;  // frames and source lines are indented
    std::size_t name = 0;
    while (name < line.size() && (std::isalnum(static_cast<unsigned char>(line[name])) || line[name] == '_' ||
                                  line[name] == '.'))
      ++name;
    if (name == 0) continue;
    const std::string type = line.substr(0, name);
    if (!(type.ends_with("Error") || type.ends_with("Exception") || type.ends_with("Exit") ||
          type.ends_with("Interrupt")))
      continue;
    std::string text = name < line.size() && line.compare(name, 2, ": ") == 0 ? line.substr(name + 2) : "";
    found = std::make_pair(type.substr(type.rfind('.') == std::string::npos ? 0 : type.rfind('.') + 1), text);
  }
  return found;
}

std::string defaultUser() {
  const char* u = std::getenv("USER");
  return u != nullptr ? u : "";
}

}  // namespace

ClientOptions ClientOptions::fromEnvironment() {
  ClientOptions o;
  o.connectTimeout = envSeconds("NORQ_SPARK_CONNECT_TIMEOUT", o.connectTimeout);
  o.callTimeout = envSeconds("NORQ_SPARK_CALL_TIMEOUT", o.callTimeout);
  o.executeTimeout = envSeconds("NORQ_SPARK_EXECUTE_TIMEOUT", o.executeTimeout);
  return o;
}

std::string randomUuid() {
  static thread_local std::mt19937_64 rng(std::random_device{}() ^
                                          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::uint64_t hi = rng(), lo = rng();
  hi = (hi & ~0xF000ULL) | 0x4000ULL;                     // version 4
  lo = (lo & ~(0xC000000000000000ULL)) | 0x8000000000000000ULL;  // variant 10
  return fmt::format("{:08x}-{:04x}-{:04x}-{:04x}-{:012x}", hi >> 32, (hi >> 16) & 0xFFFF, hi & 0xFFFF, lo >> 48,
                     lo & 0xFFFFFFFFFFFFULL);
}

Client::Client(ConnectionString connection, ClientOptions options)
    : connection_(std::move(connection)), options_(options), stub_(std::make_unique<Stub>()) {
  sessionId_ = connection_.sessionId.empty() ? randomUuid() : connection_.sessionId;
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(-1);
  args.SetMaxSendMessageSize(-1);
  // Pings detect a server that went away while a long query runs, instead of waiting for the deadline.
  args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 30'000);
  args.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, 20'000);
  args.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 0);
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 200);
  args.SetString(GRPC_ARG_PRIMARY_USER_AGENT_STRING,
                 connection_.userAgent.empty() ? std::string("norq-spark") : connection_.userAgent);
  std::shared_ptr<grpc::ChannelCredentials> creds =
      connection_.secure() ? grpc::SslCredentials(grpc::SslCredentialsOptions{})  // the system's trust store
                           : grpc::InsecureChannelCredentials();
  channel_ = grpc::CreateCustomChannel(connection_.target(), creds, args);
  stub_->stub = sc::SparkConnectService::NewStub(channel_);

  // Connect now, so that an unreachable server is one clear error before any work starts. A refused
  // connection or a failed TLS handshake ends the wait at once (TRANSIENT_FAILURE); a server that accepts
  // and never answers runs into the deadline.
  auto deadline = std::chrono::system_clock::now() + options_.connectTimeout;
  grpc_connectivity_state state = channel_->GetState(true);
  while (state != GRPC_CHANNEL_READY) {
    if (state == GRPC_CHANNEL_TRANSIENT_FAILURE || state == GRPC_CHANNEL_SHUTDOWN) {
      // A call made now fails at once with gRPC's reason (connection refused, name not resolved, TLS).
      sc::ConfigRequest probe;
      fillHeader(probe);
      probe.mutable_operation()->mutable_get_option()->add_keys("spark.sql.session.timeZone");
      sc::ConfigResponse ignored;
      auto ctx = newContext(std::chrono::milliseconds(2000));
      grpc::Status st = stub_->stub->Config(ctx.get(), probe, &ignored);
      if (st.ok()) return;
      throw ConnectionException(fmt::format("cannot connect to the Spark Connect server at {}: {}",
                                            connection_.redacted(), redactConnectionText(st.error_message())));
    }
    if (!channel_->WaitForStateChange(state, deadline)) {
      throw ConnectionException(fmt::format("the Spark Connect server at {} did not answer within {} (connect timeout)",
                                            connection_.redacted(), seconds(options_.connectTimeout)));
    }
    state = channel_->GetState(true);
  }
}

Client::~Client() = default;

template <class Req>
void Client::fillHeader(Req& r) const {
  r.set_session_id(sessionId_);
  r.mutable_user_context()->set_user_id(connection_.userId.empty() ? defaultUser() : connection_.userId);
  r.set_client_type(connection_.userAgent.empty() ? std::string("norq-spark") : connection_.userAgent);
}

std::unique_ptr<grpc::ClientContext> Client::newContext(std::chrono::milliseconds timeout) const {
  auto ctx = std::make_unique<grpc::ClientContext>();
  ctx->set_deadline(std::chrono::system_clock::now() + timeout);
  if (connection_.token) ctx->AddMetadata("authorization", "Bearer " + *connection_.token);
  for (const auto& [k, v] : connection_.metadata) {
    std::string key = k;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    ctx->AddMetadata(key, v);
  }
  return ctx;
}

void Client::raise(const grpc::Status& status, const std::string& what) {
  const std::string where = connection_.redacted();
  std::string message = redactConnectionText(status.error_message());
  switch (status.error_code()) {
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      throw ConnectionException(fmt::format("the Spark Connect server at {} did not finish {} within its deadline", where, what));
    case grpc::StatusCode::UNAVAILABLE:
      throw ConnectionException(fmt::format("lost the connection to the Spark Connect server at {} during {}: {}", where, what, message));
    case grpc::StatusCode::UNAUTHENTICATED:
    case grpc::StatusCode::PERMISSION_DENIED:
      throw ConnectionException(fmt::format("the Spark Connect server at {} refused the credentials: {}", where, message));
    default:
      break;
  }
  auto info = errorInfoOf(status);
  std::string classes = info ? info->reason + " " + info->metadata["classes"] : std::string();
  // Messages Spark had to truncate are fetched whole when the server kept them.
  if (info && info->metadata.count("errorId") && !released_) {
    sc::FetchErrorDetailsRequest req;
    fillHeader(req);
    req.set_error_id(info->metadata["errorId"]);
    sc::FetchErrorDetailsResponse resp;
    auto ctx = newContext(std::min(options_.callTimeout, std::chrono::milliseconds(10'000)));
    if (stub_->stub->FetchErrorDetails(ctx.get(), req, &resp).ok() && resp.errors_size() > 0) {
      int root = resp.has_root_error_idx() ? resp.root_error_idx() : 0;
      if (root >= 0 && root < resp.errors_size()) message = redactConnectionText(resp.errors(root).message());
    }
  }
  if (auto python = pythonError(message)) throw PythonException(python->first, python->second);
  message = firstLine(message);
  if (message.empty()) message = fmt::format("{} failed on the Spark Connect server at {}", what, where);
  if (classes.find("ParseException") != std::string::npos) throw ParseException(message, 0);
  if (classes.find("AnalysisException") != std::string::npos) throw AnalysisException(message);
  if (classes.find("java.lang.IllegalArgumentException") != std::string::npos) throw IllegalArgumentException(message);
  throw ExecutionException(message);
}

sc::AnalyzePlanResponse Client::analyze(sc::AnalyzePlanRequest request) {
  fillHeader(request);
  ++analyzeCalls_;
  sc::AnalyzePlanResponse resp;
  auto ctx = newContext(options_.callTimeout);
  grpc::Status st = stub_->stub->AnalyzePlan(ctx.get(), request, &resp);
  if (!st.ok()) raise(st, "the analysis of a plan");
  return resp;
}

sc::DataType Client::schema(const sc::Relation& relation) {
  sc::AnalyzePlanRequest req;
  *req.mutable_schema()->mutable_plan()->mutable_root() = relation;
  return analyze(std::move(req)).schema().schema();
}

void Client::persist(const sc::Relation& relation, const sc::StorageLevel& level) {
  sc::AnalyzePlanRequest req;
  *req.mutable_persist()->mutable_relation() = relation;
  *req.mutable_persist()->mutable_storage_level() = level;
  analyze(std::move(req));
}

void Client::unpersist(const sc::Relation& relation) {
  sc::AnalyzePlanRequest req;
  *req.mutable_unpersist()->mutable_relation() = relation;
  req.mutable_unpersist()->set_blocking(false);
  analyze(std::move(req));
}

void Client::setConfig(const std::vector<std::pair<std::string, std::string>>& pairs) {
  sc::ConfigRequest req;
  fillHeader(req);
  for (const auto& [k, v] : pairs) {
    auto* kv = req.mutable_operation()->mutable_set()->add_pairs();
    kv->set_key(k);
    kv->set_value(v);
  }
  sc::ConfigResponse resp;
  auto ctx = newContext(options_.callTimeout);
  grpc::Status st = stub_->stub->Config(ctx.get(), req, &resp);
  if (!st.ok()) raise(st, "setting the session's configuration");
}

std::vector<std::pair<std::string, std::optional<std::string>>> Client::getConfig(const std::vector<std::string>& keys) {
  sc::ConfigRequest req;
  fillHeader(req);
  for (const auto& k : keys) req.mutable_operation()->mutable_get_option()->add_keys(k);
  sc::ConfigResponse resp;
  auto ctx = newContext(options_.callTimeout);
  grpc::Status st = stub_->stub->Config(ctx.get(), req, &resp);
  if (!st.ok()) raise(st, "reading the session's configuration");
  std::vector<std::pair<std::string, std::optional<std::string>>> out;
  for (const auto& kv : resp.pairs())
    out.emplace_back(kv.key(), kv.has_value() ? std::optional<std::string>(kv.value()) : std::nullopt);
  return out;
}

ExecuteResult Client::execute(const sc::Plan& plan) {
  sc::ExecutePlanRequest req;
  fillHeader(req);
  const std::string operationId = randomUuid();
  req.set_operation_id(operationId);
  *req.mutable_plan() = plan;
  req.add_request_options()->mutable_reattach_options()->set_reattachable(true);

  const auto deadline = std::chrono::system_clock::now() + options_.executeTimeout;
  ExecuteResult result;
  std::optional<std::string> lastResponseId;
  bool complete = false;
  int failures = 0;
  bool first = true;

  while (!complete) {
    auto ctx = newContext(options_.executeTimeout);
    ctx->set_deadline(deadline);
    std::unique_ptr<grpc::ClientReader<sc::ExecutePlanResponse>> reader;
    if (first) {
      reader = stub_->stub->ExecutePlan(ctx.get(), req);
    } else {
      sc::ReattachExecuteRequest re;
      fillHeader(re);
      re.set_operation_id(operationId);
      if (lastResponseId) re.set_last_response_id(*lastResponseId);
      reader = stub_->stub->ReattachExecute(ctx.get(), re);
    }
    sc::ExecutePlanResponse resp;
    bool progressed = false;
    while (reader->Read(&resp)) {
      progressed = true;
      if (!resp.response_id().empty()) lastResponseId = resp.response_id();
      if (resp.has_schema()) result.schema = resp.schema();
      if (resp.has_arrow_batch()) {
        result.rowCount += resp.arrow_batch().row_count();
        result.arrowBatches.push_back(std::move(*resp.mutable_arrow_batch()->mutable_data()));
      } else if (resp.has_result_complete()) {
        complete = true;
      }
    }
    grpc::Status st = reader->Finish();
    if (complete) break;
    if (st.ok()) {
      // The server ended this stream before the result was complete (its streams are bounded in time):
      // continue where it stopped.
      first = false;
      continue;
    }
    if (st.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED) {
      interrupt(operationId);  // the server would otherwise keep running a query nobody waits for
      throw ConnectionException(fmt::format("the Spark Connect server at {} did not finish a query within {} (execute timeout)",
                                            connection_.redacted(), seconds(options_.executeTimeout)));
    }
    // A Spark error (it carries ErrorInfo) ends the query; a broken stream is reattached.
    bool sparkError = errorInfoOf(st).has_value();
    bool broken = !sparkError && (st.error_code() == grpc::StatusCode::UNAVAILABLE ||
                                  st.error_code() == grpc::StatusCode::INTERNAL ||
                                  st.error_code() == grpc::StatusCode::UNKNOWN);
    // A first stream that broke before any response may not have reached the server: nothing to reattach to.
    if (!broken || (first && !progressed)) raise(st, "a query");
    if (progressed) failures = 0;
    if (++failures > options_.maxReattachments) {
      throw ConnectionException(fmt::format("lost the connection to the Spark Connect server at {} during a query: {}",
                                            connection_.redacted(), redactConnectionText(st.error_message())));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200 << (2 * (failures - 1))));
    first = false;
  }

  // The result is complete: the server may drop what it kept for reattachment.
  sc::ReleaseExecuteRequest rel;
  fillHeader(rel);
  rel.set_operation_id(operationId);
  rel.mutable_release_all();
  sc::ReleaseExecuteResponse relResp;
  auto ctx = newContext(std::min(options_.callTimeout, std::chrono::milliseconds(10'000)));
  (void)stub_->stub->ReleaseExecute(ctx.get(), rel, &relResp);  // best effort: the result is already here
  return result;
}

void Client::interrupt(const std::string& operationId) {
  sc::InterruptRequest req;
  fillHeader(req);
  req.set_interrupt_type(sc::InterruptRequest::INTERRUPT_TYPE_OPERATION_ID);
  req.set_operation_id(operationId);
  sc::InterruptResponse resp;
  auto ctx = newContext(std::chrono::milliseconds(5'000));
  (void)stub_->stub->Interrupt(ctx.get(), req, &resp);  // best effort
}

void Client::releaseSession() {
  if (released_.exchange(true)) return;
  sc::ReleaseSessionRequest req;
  fillHeader(req);
  sc::ReleaseSessionResponse resp;
  auto ctx = newContext(std::min(options_.callTimeout, std::chrono::milliseconds(5'000)));
  (void)stub_->stub->ReleaseSession(ctx.get(), req, &resp);  // the server also expires idle sessions
}

}  // namespace engine::connect
