#include "engine/connect/connection.h"

#include <cctype>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

#include "engine/errors.h"

namespace engine::connect {

namespace {

[[noreturn]] void invalid(const std::string& detail) {
  throw IllegalArgumentException(fmt::format("invalid Spark Connect connection string: {}", detail));
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) break;
    start = p + 1;
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding, as urllib.parse.unquote does (malformed escapes are kept as they are).
std::string unquote(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = hexDigit(s[i + 1]), lo = hexDigit(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool isUuid(const std::string& s) {
  // 8-4-4-4-12 hexadecimal digits (the form pyspark's uuid.UUID accepts in connection strings).
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : hexDigit(s[i]) < 0) return false;
  }
  return true;
}

int parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) invalid(fmt::format("port '{}' is not a number from 1 to 65535", text));
  int port = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)))
      invalid(fmt::format("port '{}' is not a number from 1 to 65535", text));
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) invalid(fmt::format("port '{}' is not a number from 1 to 65535", text));
  return port;
}

}  // namespace

ConnectionString ConnectionString::parse(const std::string& url) {
  if (url.rfind("sc://", 0) != 0)
    invalid(fmt::format("'{}' must start with 'sc://', e.g. 'sc://hostname:port'", redactConnectionText(url)));
  std::string rest = url.substr(5);
  std::string authority = rest, params;
  if (auto slash = rest.find('/'); slash != std::string::npos) {
    authority = rest.substr(0, slash);
    std::string path = rest.substr(slash + 1);
    if (!path.empty()) {
      if (path[0] != ';')
        invalid(fmt::format("the path '/{}' must be empty; parameters follow '/;', e.g. 'sc://host:port/;use_ssl=true'",
                            redactConnectionText(path)));
      params = path.substr(1);
    }
  } else if (auto semi = rest.find(';'); semi != std::string::npos) {
    // "sc://host:port;token=..." (no slash): urllib sees the parameters as part of the host; accept them.
    authority = rest.substr(0, semi);
    params = rest.substr(semi + 1);
  }

  ConnectionString c;
  if (authority.empty()) invalid("the host is missing, e.g. 'sc://hostname:port'");
  if (authority[0] == '[') {  // IPv6 literal
    auto close = authority.find(']');
    if (close == std::string::npos) invalid("an IPv6 address must be closed by ']'");
    c.host = authority.substr(1, close - 1);
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') invalid(fmt::format("'{}' should match 'host:port'", authority));
      c.port = parsePort(after.substr(1));
    }
  } else {
    auto parts = split(authority, ':');
    if (parts.size() > 2) invalid(fmt::format("'{}' should match 'host:port'", authority));
    c.host = parts[0];
    if (parts.size() == 2) c.port = parsePort(parts[1]);
  }
  if (c.host.empty()) invalid("the host is missing, e.g. 'sc://hostname:port'");
  if (c.host.find_first_of(" \t@/?#") != std::string::npos) invalid(fmt::format("host '{}' is not a host name", c.host));

  if (!params.empty()) {
    for (const std::string& p : split(params, ';')) {
      if (p.empty()) continue;  // a trailing ';'
      auto kv = split(p, '=');
      if (kv.size() != 2 || kv[0].empty()) {
        std::string shown = p.rfind("token", 0) == 0 ? std::string("token=***") : p;
        invalid(fmt::format("parameter '{}' should be a key-value pair separated by '=', e.g. 'key=value'", shown));
      }
      std::string key = kv[0], value = unquote(kv[1]);
      if (key == "token") {
        if (value.empty()) invalid("the token is empty");
        c.token = value;
      } else if (key == "use_ssl") {
        std::string l = lower(value);
        if (l != "true" && l != "false") invalid(fmt::format("use_ssl must be true or false, got '{}'", value));
        c.useSsl = l == "true";
      } else if (key == "user_id") {
        c.userId = value;
      } else if (key == "user_agent") {
        c.userAgent = value;
      } else if (key == "session_id") {
        if (!isUuid(value)) invalid(fmt::format("session_id '{}' is not a UUID", value));
        c.sessionId = lower(value);
      } else {
        c.metadata[key] = value;
      }
    }
  }
  return c;
}

std::string ConnectionString::target() const {
  if (host.find(':') != std::string::npos) return fmt::format("[{}]:{}", host, port);
  return fmt::format("{}:{}", host, port);
}

std::string ConnectionString::redacted() const {
  std::string s = "sc://" + target();
  if (useSsl) s += "/;use_ssl=true";
  if (token) s += useSsl ? ";token=***" : "/;token=***";
  return s;
}

std::string redactConnectionText(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t p = text.find("token=", i);
    if (p == std::string::npos) {
      out.append(text, i, std::string::npos);
      break;
    }
    out.append(text, i, p + 6 - i);
    out += "***";
    std::size_t end = text.find_first_of("; \t\n'\"&", p + 6);
    i = end == std::string::npos ? text.size() : end;
  }
  return out;
}

std::optional<std::string> remoteFromEnvironment() {
  const char* env = std::getenv("SPARK_REMOTE");
  if (env == nullptr || *env == '\0') return std::nullopt;
  return std::string(env);
}

}  // namespace engine::connect
