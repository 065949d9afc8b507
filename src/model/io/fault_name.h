#pragma once
// Names the model file behind a bus error. A mapped file truncated or
// rewritten in place loses pages the process may still touch, and the kernel
// answers such a touch with SIGBUS: a bare "Bus error" tells the user nothing.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace varkel {

// The line written for a SIGBUS inside a mapping registered for `path`.
std::string fault_line(const std::filesystem::path& path);

class FaultName {
 public:
  FaultName() = default;
  // While this lives, a SIGBUS the kernel raises for an address in
  // [begin, begin + size) writes fault_line(path) to standard error and ends
  // the process as SIGBUS's default action does. The first one installs the
  // handler; any other SIGBUS goes on to the handler installed before it.
  // Without a free place (a great many live mappings) the range goes unnamed.
  FaultName(const void* begin, std::size_t size, const std::filesystem::path& path);
  FaultName(FaultName&& other) noexcept;
  FaultName& operator=(FaultName&& other) noexcept;
  FaultName(const FaultName&) = delete;
  FaultName& operator=(const FaultName&) = delete;
  ~FaultName();

  bool named() const { return slot_ >= 0; }

 private:
  void release();

  int slot_ = -1;
  std::unique_ptr<char[]> line_;  // read by the handler: unchanged while registered
};

}  // namespace varkel
