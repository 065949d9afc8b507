#include "error/io_error.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "error/debug_quote.h"

namespace varkel {

namespace {

IoErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EINVAL: return IoErrorKind::InvalidInput;
    case EINTR: return IoErrorKind::Interrupted;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    case ENOSYS:
    case EOPNOTSUPP: return IoErrorKind::Unsupported;
    default: return IoErrorKind::Other;
  }
}

}  // namespace

const char* io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::InvalidInput: return "InvalidInput";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::Unsupported: return "Unsupported";
    case IoErrorKind::OutOfMemory: return "OutOfMemory";
    case IoErrorKind::Other: return "Other";
  }
  return "Other";
}

std::string os_error_description(int code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text;
}

IoError IoError::from_os(int code) { return IoError(kind_of_errno(code), code, {}); }

IoError IoError::last_os_error() { return from_os(errno); }

IoError IoError::custom(IoErrorKind kind, std::string message) {
  return IoError(kind, std::nullopt, std::move(message));
}

std::string IoError::to_string() const {
  if (os_code_) return fmt::format("{} (os error {})", os_error_description(*os_code_), *os_code_);
  return message_;
}

std::string IoError::debug() const {
  if (os_code_) {
    return fmt::format("Os {{ code: {}, kind: {}, message: {} }}", *os_code_, io_error_kind_name(kind_),
                       debug_quoted(os_error_description(*os_code_)));
  }
  return fmt::format("Custom {{ kind: {}, error: {} }}", io_error_kind_name(kind_), debug_quoted(message_));
}

}  // namespace varkel
