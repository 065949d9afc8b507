#pragma once
// The one error type of model loading and of the inference engine.

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "error/io_error.h"

namespace varkel {

class MoEError {
 public:
  enum class Kind : uint8_t { Metal = 0, Io = 1, Config = 2, Shader = 3 };

  static MoEError metal(std::string message) { return MoEError(Kind::Metal, std::move(message)); }
  static MoEError config(std::string message) { return MoEError(Kind::Config, std::move(message)); }
  static MoEError shader(std::string message) { return MoEError(Kind::Shader, std::move(message)); }
  static MoEError io(IoError error) { return MoEError(std::move(error)); }

  Kind kind() const { return kind_; }
  // The carried text (empty for Io errors).
  const std::string& message() const { return message_; }
  // The carried I/O error, or nullptr for the text kinds.
  const IoError* io_error() const { return std::get_if<IoError>(&io_); }

  // "Metal error: {}", "I/O error: {}", "Config error: {}", "Shader error: {}".
  std::string to_string() const;
  // Config("text") / Io(Os { ... }).
  std::string debug() const;

 private:
  MoEError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  explicit MoEError(IoError error) : kind_(Kind::Io), io_(std::move(error)) {}

  Kind kind_;
  std::string message_;
  std::variant<std::monostate, IoError> io_;
};

template <class T>
using Result = std::expected<T, MoEError>;

// std::expected<void, ...> spelled once.
using Status = std::expected<void, MoEError>;

inline std::unexpected<MoEError> fail(MoEError error) { return std::unexpected(std::move(error)); }

}  // namespace varkel
