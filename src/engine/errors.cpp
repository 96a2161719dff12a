#include "engine/errors.h"

namespace engine {

ParseException::ParseException(const std::string& message, std::size_t position, const std::string& text)
    : EngineError(message), position_(position), text_(text) {}

}  // namespace engine
