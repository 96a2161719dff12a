// Spark Connect connection strings, as pyspark accepts them:
//   sc://host[:port][/;param=value;param=value...]
// with the parameters token (bearer token; implies TLS), use_ssl (true/false), user_id, user_agent and
// session_id (a UUID). The port defaults to 15002. Other parameters are sent to the server as request
// metadata, as pyspark does. Tokens never appear in messages: use redacted() (or redactConnectionText for
// arbitrary text) wherever a connection string is shown.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace engine::connect {

inline constexpr int kDefaultConnectPort = 15002;

struct ConnectionString {
  std::string host;
  int port = kDefaultConnectPort;
  bool useSsl = false;
  std::optional<std::string> token;
  std::string userId;
  std::string userAgent;
  std::string sessionId;  // empty: a fresh session id is made per client
  std::map<std::string, std::string> metadata;  // other parameters, sent as request headers

  // Parses and validates; throws IllegalArgumentException naming what is wrong (never quoting the token).
  static ConnectionString parse(const std::string& url);

  // TLS is used when asked for, and always with a token (a bearer token is never sent in clear text).
  bool secure() const { return useSsl || token.has_value(); }
  // "host:port" for the gRPC channel (IPv6 literals in brackets).
  std::string target() const;
  // The connection string without secrets: "sc://host:port" plus ";use_ssl=true" and ";token=***" when set.
  std::string redacted() const;
};

// Replaces the value of every "token=" parameter in `text` with "***" (for messages that may quote a
// connection string given by the user).
std::string redactConnectionText(const std::string& text);

// The connection string a session should use: the explicit one when given, else the SPARK_REMOTE
// environment variable (as pyspark reads it), else none (embedded engine).
std::optional<std::string> remoteFromEnvironment();

}  // namespace engine::connect
