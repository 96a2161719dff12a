// The gRPC client of Spark Connect (spark.connect.SparkConnectService): one server-side session per client.
// Every call carries the session id, the user context, the bearer token (when the connection string has one)
// and a deadline; results of ExecutePlan are reattachable, so a stream that breaks mid-result is resumed
// from the last response received. Server errors are raised as the engine's error types with Spark's
// message; an unreachable server or a dropped connection is a ConnectionException naming the redacted
// address.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/connect/connection.h"
#include "engine/errors.h"
#include "spark/connect/base.pb.h"

namespace grpc {
class Channel;
class ClientContext;
class Status;
}  // namespace grpc

namespace engine::connect {

// The server cannot be reached, did not answer within the deadline, or the connection dropped.
class ConnectionException : public ExecutionException {
 public:
  using ExecutionException::ExecutionException;
};

struct ClientOptions {
  // Time to establish the connection (TCP, TLS and HTTP/2 handshakes).
  std::chrono::milliseconds connectTimeout{10'000};
  // Deadline of each metadata call (AnalyzePlan, Config, Release*).
  std::chrono::milliseconds callTimeout{120'000};
  // Deadline of one query (ExecutePlan and its reattachments together).
  std::chrono::milliseconds executeTimeout{6 * 3600 * 1000};
  // Reattachments of one query after its stream broke before the result was complete.
  int maxReattachments = 3;
  // Reads NORQ_SPARK_CONNECT_TIMEOUT, NORQ_SPARK_CALL_TIMEOUT and NORQ_SPARK_EXECUTE_TIMEOUT (seconds) over
  // the defaults.
  static ClientOptions fromEnvironment();
};

// Everything one ExecutePlan returned: the Arrow IPC streams of its batches, in order, and the result's
// schema when the server sent one.
struct ExecuteResult {
  std::vector<std::string> arrowBatches;
  std::int64_t rowCount = 0;
  std::optional<spark::connect::DataType> schema;
};

class Client {
 public:
  // Opens the channel and waits until it is connected (connectTimeout); throws ConnectionException.
  Client(ConnectionString connection, ClientOptions options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const ConnectionString& connection() const { return connection_; }
  const std::string& sessionId() const { return sessionId_; }

  spark::connect::AnalyzePlanResponse analyze(spark::connect::AnalyzePlanRequest request);
  // The schema of a relation (AnalyzePlan.Schema).
  spark::connect::DataType schema(const spark::connect::Relation& relation);
  // Runs a plan (a relation or a command) to completion.
  ExecuteResult execute(const spark::connect::Plan& plan);
  void setConfig(const std::vector<std::pair<std::string, std::string>>& pairs);
  std::vector<std::pair<std::string, std::optional<std::string>>> getConfig(const std::vector<std::string>& keys);
  // Persists / unpersists a relation in the server's cache (AnalyzePlan.Persist / Unpersist).
  void persist(const spark::connect::Relation& relation, const spark::connect::StorageLevel& level);
  void unpersist(const spark::connect::Relation& relation);
  // Stops a running query on the server (best effort).
  void interrupt(const std::string& operationId);
  // Ends the server-side session (best effort, bounded by callTimeout); later calls fail.
  void releaseSession();

  // Calls made so far (for tests: a cached relation must not be analysed again).
  std::uint64_t analyzeCalls() const { return analyzeCalls_.load(); }

 private:
  struct Stub;
  std::unique_ptr<grpc::ClientContext> newContext(std::chrono::milliseconds timeout) const;
  [[noreturn]] void raise(const grpc::Status& status, const std::string& what);
  template <class Req>
  void fillHeader(Req& r) const;

  ConnectionString connection_;
  ClientOptions options_;
  std::string sessionId_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<Stub> stub_;
  std::atomic<std::uint64_t> analyzeCalls_{0};
  std::atomic<bool> released_{false};
};

// A random (version 4) UUID in its text form.
std::string randomUuid();

}  // namespace engine::connect
