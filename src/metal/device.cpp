#include <fmt/format.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "metal/metal.h"

namespace varkel::metal {

namespace {

constexpr std::size_t kAlignment = 64;
// Above this, memory comes from an anonymous mapping: already zero, and the
// pages are only touched when used.
constexpr std::size_t kMappedThreshold = 16u << 20;

std::string cpu_model_name() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    // x86: "model name\t: ..."; arm64 has no model name line.
    if (line.rfind("model name", 0) == 0) {
      auto colon = line.find(':');
      if (colon != std::string::npos) {
        auto start = line.find_first_not_of(" \t", colon + 1);
        if (start != std::string::npos) return line.substr(start);
      }
    }
  }
  return "CPU";
}

uint64_t physical_memory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return uint64_t{1} << 32;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

thread_local int pool_depth = 0;

}  // namespace

Buffer::Buffer(void* data, std::size_t length, ResourceOptions options, bool owned, bool read_only, bool mapped)
    : data_(data), length_(length), options_(options), owned_(owned), read_only_(read_only), mapped_(mapped) {}

Buffer::~Buffer() {
  if (!owned_) return;
  if (mapped_) {
    munmap(data_, length_);
  } else {
    std::free(data_);
  }
}

DevicePtr Device::system_default() {
  static const std::string name = cpu_model_name();
  static const uint64_t max_length = physical_memory();
  return DevicePtr(new Device(name, max_length));
}

Device::Device(std::string name, uint64_t max_buffer_length)
    : name_(std::move(name)), max_buffer_length_(max_buffer_length) {}

CommandQueuePtr Device::new_command_queue() { return CommandQueuePtr(new CommandQueue(shared_from_this())); }

SharedEventPtr Device::new_shared_event() { return SharedEventPtr(new SharedEvent()); }

std::expected<BufferPtr, std::string> Device::new_buffer(std::size_t length, ResourceOptions options) {
  if (length == 0) return std::unexpected(std::string("cannot make a buffer of 0 bytes"));
  if (length > max_buffer_length_) {
    return std::unexpected(
        fmt::format("buffer of {} bytes exceeds the device's maximum buffer length ({})", length, max_buffer_length_));
  }
  if (length >= kMappedThreshold) {
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return std::unexpected(fmt::format("cannot allocate a buffer of {} bytes", length));
    return BufferPtr(new Buffer(p, length, options, true, false, true));
  }
  std::size_t rounded = (length + kAlignment - 1) / kAlignment * kAlignment;
  void* p = std::aligned_alloc(kAlignment, rounded);
  if (p == nullptr) return std::unexpected(fmt::format("cannot allocate a buffer of {} bytes", length));
  std::memset(p, 0, rounded);
  return BufferPtr(new Buffer(p, length, options, true, false, false));
}

std::expected<BufferPtr, std::string> Device::new_buffer_no_copy(void* pointer, std::size_t length,
                                                                 ResourceOptions options) {
  if (pointer == nullptr) return std::unexpected(std::string("cannot wrap a null pointer in a buffer"));
  if (length == 0) return std::unexpected(std::string("cannot make a buffer of 0 bytes"));
  return BufferPtr(new Buffer(pointer, length, options, false, false, false));
}

std::expected<BufferPtr, std::string> Device::new_buffer_no_copy(const void* pointer, std::size_t length,
                                                                 ResourceOptions options) {
  auto buffer = new_buffer_no_copy(const_cast<void*>(pointer), length, options);
  if (buffer) (*buffer)->read_only_ = true;
  return buffer;
}

AutoreleasePool::AutoreleasePool() { ++pool_depth; }
AutoreleasePool::~AutoreleasePool() { --pool_depth; }
int AutoreleasePool::depth() { return pool_depth; }

}  // namespace varkel::metal
