#pragma once
// A whole file mapped read-only; unmapped on destruction.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>

#include "error/io_error.h"
#include "model/io/fault_name.h"
#include "model/io/memory_headroom.h"

namespace varkel {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // Maps the open descriptor `fd` from byte 0 to its current length; the descriptor
  // may be closed afterwards. A zero-length file gives an empty mapping. With a
  // `path`, a bus error inside the mapping (the file cut short or rewritten
  // under it) names that file before the process ends (FaultName).
  static std::expected<MappedFile, IoError> map(int fd, const std::filesystem::path& path = {});

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  // Locks the pages in memory as they are touched, where
  // keep_resident_when_touched allows it; they are unlocked before the
  // mapping goes. True when locked.
  bool keep_resident_when_touched();
  bool locked() const { return lock_.locked(); }

 private:
  MappedFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  void release();

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  FaultName name_;
  ResidentLock lock_;
};

}  // namespace varkel
