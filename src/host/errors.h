// The norq framework's error kinds. Every error carries its message exactly as the operation that raised it
// composed it; callers compare messages, so nothing is added to them.
#pragma once

#include <stdexcept>
#include <string>

namespace norq {

// The general error kind (Python's Exception): the base of every error the framework and its backends raise.
class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ValueError : public Exception {
 public:
  using Exception::Exception;
};

class NotImplementedError : public Exception {
 public:
  using Exception::Exception;
};

// Asked for a calculation that nothing is registered for.
class CalculationNotFound : public Exception {
 public:
  using Exception::Exception;
};

// A configuration file that cannot be read or does not have the expected shape.
class ConfigError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace norq
