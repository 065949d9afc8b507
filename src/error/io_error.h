#pragma once
// The platform's ordinary I/O error: a kind plus either an OS error code or a
// message of our own.

#include <optional>
#include <string>

namespace varkel {

// The standard kinds; an OS error whose code has none of them is Uncategorized, while
// Other is only ever chosen by us.
enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  FilesystemQuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  Other,
  Uncategorized,
};

const char* io_error_kind_name(IoErrorKind kind);

class IoError {
 public:
  // From an errno value; the kind follows the code.
  static IoError from_os(int code);
  // The current errno.
  static IoError last_os_error();
  static IoError custom(IoErrorKind kind, std::string message);

  IoErrorKind kind() const { return kind_; }
  std::optional<int> os_code() const { return os_code_; }

  // "No such file or directory (os error 2)" for OS errors, the message itself otherwise.
  std::string to_string() const;
  // Os { code: 2, kind: NotFound, message: "..." } / Custom { kind: InvalidData, error: "..." }
  std::string debug() const;

 private:
  IoError(IoErrorKind kind, std::optional<int> code, std::string message)
      : kind_(kind), os_code_(code), message_(std::move(message)) {}
  IoErrorKind kind_;
  std::optional<int> os_code_;
  std::string message_;
};

// The system's description of an errno value, e.g. "No such file or directory".
std::string os_error_description(int code);

}  // namespace varkel
