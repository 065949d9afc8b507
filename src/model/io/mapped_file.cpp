#include "model/io/mapped_file.h"

#include <cstdint>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <utility>

namespace varkel {

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      name_(std::move(other.name_)),
      lock_(std::move(other.lock_)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    name_ = std::move(other.name_);
    lock_ = std::move(other.lock_);
  }
  return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release() {
  // Unnamed and unlocked first: the addresses may be mapped again for
  // something else.
  name_ = FaultName();
  lock_ = ResidentLock();
  if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

bool MappedFile::keep_resident_when_touched() {
  if (!lock_.locked()) lock_ = varkel::keep_resident_when_touched(data_, size_);
  return lock_.locked();
}

std::expected<MappedFile, IoError> MappedFile::map(int fd, const std::filesystem::path& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(IoError::last_os_error());
  if (st.st_size < 0) return std::unexpected(IoError::custom(IoErrorKind::InvalidData, "negative file length"));
  const auto length = static_cast<uint64_t>(st.st_size);
  // mmap cannot take a length of zero: an empty file is an empty mapping.
  if (length == 0) return MappedFile();
  if (length > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "memory map length overflows isize"));
  }
  void* base = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE, fd, 0);
  if (base == MAP_FAILED) return std::unexpected(IoError::last_os_error());
  MappedFile mapped(static_cast<const uint8_t*>(base), static_cast<size_t>(length));
  if (!path.empty()) mapped.name_ = FaultName(base, mapped.size_, path);
  return mapped;
}

}  // namespace varkel
