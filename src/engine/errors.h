// Errors raised by the engine. They carry Spark's error classes in spirit: an AnalysisException when a
// plan cannot be resolved (unknown column, wrong types), a ParseException for malformed SQL text (with
// the position of the offending character), and an ExecutionException for failures while running.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

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

// An exception raised by Python code that a query ran (a model's predict on Spark's Python workers): the
// Python exception's type name ("ValueError") and its message, without the traceback.
class PythonException : public ExecutionException {
 public:
  PythonException(std::string pythonType, const std::string& message)
      : ExecutionException(message), pythonType_(std::move(pythonType)) {}
  const std::string& pythonType() const { return pythonType_; }

 private:
  std::string pythonType_;
};

}  // namespace engine
