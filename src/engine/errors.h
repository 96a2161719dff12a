// Errors raised by the engine. They carry Spark's error classes in spirit: an AnalysisException when a
// plan cannot be resolved (unknown column, wrong types), a ParseException for malformed SQL text (with
// the position of the offending character), and an ExecutionException for failures while running.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace engine {

class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AnalysisException : public EngineError {
 public:
  using EngineError::EngineError;
};

class ParseException : public EngineError {
 public:
  // `position` is the 0-based character offset into `text` where parsing failed.
  ParseException(const std::string& message, std::size_t position, const std::string& text = {});
  std::size_t position() const { return position_; }
  const std::string& text() const { return text_; }

 private:
  std::size_t position_;
  std::string text_;
};

class ExecutionException : public EngineError {
 public:
  using EngineError::EngineError;
};

// Spark's IllegalArgumentException (for example coalesce(0)).
class IllegalArgumentException : public EngineError {
 public:
  using EngineError::EngineError;
};

}  // namespace engine
