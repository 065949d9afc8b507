#include "error/moe_error.h"

#include <fmt/format.h>

#include "error/debug_quote.h"

namespace varkel {

std::string MoEError::to_string() const {
  switch (kind_) {
    case Kind::Metal: return "Metal error: " + message_;
    case Kind::Io: return "I/O error: " + std::get<IoError>(io_).to_string();
    case Kind::Config: return "Config error: " + message_;
    case Kind::Shader: return "Shader error: " + message_;
  }
  return message_;
}

std::string MoEError::debug() const {
  switch (kind_) {
    case Kind::Metal: return "Metal(" + debug_quoted(message_) + ")";
    case Kind::Io: return "Io(" + std::get<IoError>(io_).debug() + ")";
    case Kind::Config: return "Config(" + debug_quoted(message_) + ")";
    case Kind::Shader: return "Shader(" + debug_quoted(message_) + ")";
  }
  return message_;
}

}  // namespace varkel
