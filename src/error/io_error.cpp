#include "error/io_error.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "error/debug_quote.h"

namespace varkel {

namespace {

IoErrorKind kind_of_errno(int code) {
  using K = IoErrorKind;
  switch (code) {
    case E2BIG: return K::ArgumentListTooLong;
    case EADDRINUSE: return K::AddrInUse;
    case EADDRNOTAVAIL: return K::AddrNotAvailable;
    case EBUSY: return K::ResourceBusy;
    case ECONNABORTED: return K::ConnectionAborted;
    case ECONNREFUSED: return K::ConnectionRefused;
    case ECONNRESET: return K::ConnectionReset;
    case EDEADLK: return K::Deadlock;
    case EDQUOT: return K::FilesystemQuotaExceeded;
    case EEXIST: return K::AlreadyExists;
    case EFBIG: return K::FileTooLarge;
    case EHOSTUNREACH: return K::HostUnreachable;
    case EINTR: return K::Interrupted;
    case EINVAL: return K::InvalidInput;
    case EISDIR: return K::IsADirectory;
    case ELOOP: return K::FilesystemLoop;
    case ENOENT: return K::NotFound;
    case ENOMEM: return K::OutOfMemory;
    case ENOSPC: return K::StorageFull;
    case ENOSYS: return K::Unsupported;
    case EMLINK: return K::TooManyLinks;
    case ENAMETOOLONG: return K::InvalidFilename;
    case ENETDOWN: return K::NetworkDown;
    case ENETUNREACH: return K::NetworkUnreachable;
    case ENOTCONN: return K::NotConnected;
    case ENOTDIR: return K::NotADirectory;
    case ENOTEMPTY: return K::DirectoryNotEmpty;
    case EPIPE: return K::BrokenPipe;
    case EROFS: return K::ReadOnlyFilesystem;
    case ESPIPE: return K::NotSeekable;
    case ESTALE: return K::StaleNetworkFileHandle;
    case ETIMEDOUT: return K::TimedOut;
    case ETXTBSY: return K::ExecutableFileBusy;
    case EXDEV: return K::CrossesDevices;
    case EINPROGRESS: return K::InProgress;
    case EACCES:
    case EPERM: return K::PermissionDenied;
    case EAGAIN: return K::WouldBlock;  // EWOULDBLOCK on Linux
    default: return K::Uncategorized;
  }
}

}  // namespace

const char* io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::ConnectionRefused: return "ConnectionRefused";
    case IoErrorKind::ConnectionReset: return "ConnectionReset";
    case IoErrorKind::HostUnreachable: return "HostUnreachable";
    case IoErrorKind::NetworkUnreachable: return "NetworkUnreachable";
    case IoErrorKind::ConnectionAborted: return "ConnectionAborted";
    case IoErrorKind::NotConnected: return "NotConnected";
    case IoErrorKind::AddrInUse: return "AddrInUse";
    case IoErrorKind::AddrNotAvailable: return "AddrNotAvailable";
    case IoErrorKind::NetworkDown: return "NetworkDown";
    case IoErrorKind::BrokenPipe: return "BrokenPipe";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::WouldBlock: return "WouldBlock";
    case IoErrorKind::NotADirectory: return "NotADirectory";
    case IoErrorKind::IsADirectory: return "IsADirectory";
    case IoErrorKind::DirectoryNotEmpty: return "DirectoryNotEmpty";
    case IoErrorKind::ReadOnlyFilesystem: return "ReadOnlyFilesystem";
    case IoErrorKind::FilesystemLoop: return "FilesystemLoop";
    case IoErrorKind::StaleNetworkFileHandle: return "StaleNetworkFileHandle";
    case IoErrorKind::InvalidInput: return "InvalidInput";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::TimedOut: return "TimedOut";
    case IoErrorKind::WriteZero: return "WriteZero";
    case IoErrorKind::StorageFull: return "StorageFull";
    case IoErrorKind::NotSeekable: return "NotSeekable";
    case IoErrorKind::FilesystemQuotaExceeded: return "FilesystemQuotaExceeded";
    case IoErrorKind::FileTooLarge: return "FileTooLarge";
    case IoErrorKind::ResourceBusy: return "ResourceBusy";
    case IoErrorKind::ExecutableFileBusy: return "ExecutableFileBusy";
    case IoErrorKind::Deadlock: return "Deadlock";
    case IoErrorKind::CrossesDevices: return "CrossesDevices";
    case IoErrorKind::TooManyLinks: return "TooManyLinks";
    case IoErrorKind::InvalidFilename: return "InvalidFilename";
    case IoErrorKind::ArgumentListTooLong: return "ArgumentListTooLong";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::Unsupported: return "Unsupported";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::OutOfMemory: return "OutOfMemory";
    case IoErrorKind::InProgress: return "InProgress";
    case IoErrorKind::Other: return "Other";
    case IoErrorKind::Uncategorized: return "Uncategorized";
  }
  return "Uncategorized";
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
