#include "model/expert/expert_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <lz4.h>

#include "model/config/required_key.h"
#include "model/io/regular_file.h"
#include "model/io/text_file.h"

namespace varkel {

namespace {

MoEError io_error(IoErrorKind kind, std::string message) {
  return MoEError::io(IoError::custom(kind, std::move(message)));
}

// One positional read; neither uses nor moves the shared file position.
ssize_t pread_once(int fd, void* dest, size_t size, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return -1;
  }
  ssize_t got;
  do {
    got = ::pread(fd, dest, size, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got;
}

// Records are read in an order the router picks: read-ahead past a record
// would fetch neighbours that are rarely wanted and push wanted pages out of
// the page cache. Only advice: a refusal changes nothing.
void advise_random(int fd) { (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); }

// The whole file, for records used where they lie in the page cache. Only an
// aid: a file that cannot be mapped is read as before, and so is every file
// with VARKEL_MAP_EXPERTS=0. Touching a mapped page must never start a
// read-ahead: the mapping is only used where it is cached.
MappedFile map_records(int fd, const std::filesystem::path& path) {
  if (const char* env = std::getenv("VARKEL_MAP_EXPERTS"); env != nullptr && std::string_view(env) == "0") return {};
  auto mapping = MappedFile::map(fd, path);
  if (!mapping || mapping->size() == 0) return {};
  (void)::madvise(const_cast<uint8_t*>(mapping->data()), mapping->size(), MADV_RANDOM);
  return std::move(*mapping);
}

// Whether mincore reports the page cache for this file: it does for the
// file's owner and for whoever may write it.
bool mincore_sees_page_cache(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (st.st_uid == ::geteuid()) return true;
  const std::string self = fmt::format("/proc/self/fd/{}", fd);
  return ::faccessat(AT_FDCWD, self.c_str(), W_OK, AT_EACCESS) == 0;
}

uint64_t page_bytes() {
  static const uint64_t bytes = [] {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : uint64_t{4096};
  }();
  return bytes;
}

// Whether every page of `pages` pages from page `first` of the mapping is in
// memory, as mincore sees it. Only for a file this process owns or may write
// does mincore look at the page cache behind pages it has not mapped; for
// other files it calls every page resident.
bool pages_resident(const uint8_t* mapped, uint64_t first, uint64_t pages) {
  const uint64_t page = page_bytes();
  unsigned char resident[512];
  for (uint64_t done = 0; done < pages;) {
    const uint64_t n = std::min<uint64_t>(pages - done, sizeof resident);
    auto* at = const_cast<uint8_t*>(mapped + (first + done) * page);
    if (::mincore(at, n * page, resident) != 0) return false;
    if (!std::all_of(resident, resident + n, [](unsigned char r) { return (r & 1) != 0; })) return false;
    done += n;
  }
  return true;
}

// cachestat(2), Linux 6.5 on; the C library does not wrap it yet. It asks the
// page cache itself; newer kernels refuse it, as mincore, to whoever may
// neither write nor own the file. Such a caller learns nothing of the cache,
// and its records are always read.
struct CachestatRange {
  uint64_t off, len;
};
struct Cachestat {
  uint64_t nr_cache, nr_dirty, nr_writeback, nr_evicted, nr_recently_evicted;
};
constexpr long kCachestatCall = 451;

// Whether every page holding bytes [offset, offset + length) of the file
// (length > 0) is in memory; `mapped` is the file's mapping. mincore, where
// it tells the truth, costs a page-table walk over pages already mapped;
// otherwise the page cache is asked, and without cachestat the answer is no.
bool pages_cached(int fd, const uint8_t* mapped, uint64_t offset, uint64_t length, bool mincore_sees_cache) {
  const uint64_t page = page_bytes();
  const uint64_t first = offset / page;
  const uint64_t pages = (offset + length - 1) / page - first + 1;
  if (mincore_sees_cache) return pages_resident(mapped, first, pages);
  static std::atomic<bool> cachestat_unavailable{false};
  if (cachestat_unavailable.load(std::memory_order_relaxed)) return false;
  const CachestatRange range{offset, length};
  Cachestat stat{};
  if (::syscall(kCachestatCall, fd, &range, &stat, 0) == 0) return stat.nr_cache >= pages;
  if (errno == ENOSYS || errno == EPERM) cachestat_unavailable.store(true, std::memory_order_relaxed);
  return false;
}

}  // namespace

uint64_t expert_record_size(uint64_t hidden, uint64_t intermediate) {
  const uint64_t h = hidden;
  const uint64_t i = intermediate;
  return 3 * (i * h / 2) + 8 * (h / 64) * i + 4 * (i / 64) * h;
}

ExpertFile ExpertFile::raw(UniqueFd file, uint64_t expert_size, const std::filesystem::path& path) {
  MappedFile mapping = map_records(file.get(), path);
  const bool mincore_sees_cache = mapping.data() != nullptr && mincore_sees_page_cache(file.get());
  return ExpertFile(Kind::Raw, std::move(file), {}, expert_size, std::move(mapping), mincore_sees_cache);
}

ExpertFile ExpertFile::lz4(UniqueFd file, std::vector<uint32_t> offsets, uint64_t expert_size) {
  return ExpertFile(Kind::Lz4, std::move(file), std::move(offsets), expert_size);
}

Result<ExpertFile> ExpertFile::open_raw(const std::filesystem::path& path, size_t layer, uint64_t expert_size) {
  auto file = open_regular_file(path);
  if (!file) return fail(io_error(IoErrorKind::Other, fmt::format("expert {}: {}", layer, file.error().to_string())));
  advise_random(file->get());
  return raw(std::move(*file), expert_size, path);
}

Result<ExpertFile> ExpertFile::open_lz4(const std::filesystem::path& path, size_t layer,
                                        const std::optional<uint64_t>& num_experts, uint64_t expert_size) {
  auto file = open_regular_file(path);
  if (!file) {
    return fail(io_error(IoErrorKind::Other, fmt::format("lz4 expert {}: {}", layer, file.error().to_string())));
  }
  unsigned char header[4];
  if (auto read = read_exact(file->get(), header, sizeof header); !read) {
    return fail(io_error(IoErrorKind::Other, fmt::format("lz4 hdr {}: {}", layer, read.error().to_string())));
  }
  const uint32_t count = uint32_t{header[0]} | uint32_t{header[1]} << 8 | uint32_t{header[2]} << 16 |
                         uint32_t{header[3]} << 24;
  if (!num_experts) return fail(MoEError::config("missing config key 'num_experts'"));
  if (count != *num_experts) {
    return fail(io_error(IoErrorKind::InvalidData,
                         fmt::format("lz4 expert {}: header says {} experts, config says {} \u2014 file may be corrupted",
                                     layer, count, *num_experts)));
  }
  const uint64_t entries = uint64_t{count} + 1;
  // The table's length comes from the file: compare with the file before allocating it.
  struct stat st {};
  if (::fstat(file->get(), &st) != 0) {
    return fail(io_error(IoErrorKind::Other, fmt::format("lz4 off {}: {}", layer, IoError::last_os_error().to_string())));
  }
  if (static_cast<uint64_t>(st.st_size) < 4 + 4 * entries) {
    return fail(io_error(IoErrorKind::Other, fmt::format("lz4 off {}: failed to fill whole buffer", layer)));
  }
  std::vector<unsigned char> raw_table(4 * entries);
  if (auto read = read_exact(file->get(), raw_table.data(), raw_table.size()); !read) {
    return fail(io_error(IoErrorKind::Other, fmt::format("lz4 off {}: {}", layer, read.error().to_string())));
  }
  std::vector<uint32_t> offsets(entries);
  for (uint64_t e = 0; e < entries; ++e) {
    const unsigned char* b = &raw_table[4 * e];
    offsets[e] = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
  }
  advise_random(file->get());
  return lz4(std::move(*file), std::move(offsets), expert_size);
}

Status ExpertFile::read_expert(size_t expert, std::span<uint8_t> dst) const {
  if (dst.size() < expert_size_) {
    return fail(io_error(IoErrorKind::InvalidInput, fmt::format("expert {}: destination holds {} bytes, expert_size is {}",
                                                                expert, dst.size(), expert_size_)));
  }
  return kind_ == Kind::Raw ? read_raw(expert, dst) : read_lz4(expert, dst);
}

Status ExpertFile::read_expert_part(size_t expert, uint64_t begin, std::span<uint8_t> dst) const {
  if (kind_ != Kind::Raw || begin > expert_size_ || dst.size() > expert_size_ - begin) {
    return fail(io_error(IoErrorKind::InvalidInput,
                         fmt::format("expert {}: bytes {}..{} are not a part of a raw {}-byte record", expert, begin,
                                     begin + dst.size(), expert_size_)));
  }
  uint64_t offset = 0;
  ssize_t got = -1;
  if (!__builtin_mul_overflow(uint64_t{expert}, expert_size_, &offset) && !__builtin_add_overflow(offset, begin, &offset)) {
    got = pread_once(file_.get(), dst.data(), dst.size(), offset);
  }
  if (got < 0 || static_cast<uint64_t>(got) != dst.size()) {
    return fail(io_error(IoErrorKind::UnexpectedEof,
                         fmt::format("pread expert {} from byte {}: got {} expected {}", expert, begin, got, dst.size())));
  }
  return {};
}

uint64_t ExpertFile::current_length() const {
  struct stat st {};
  if (::fstat(file_.get(), &st) != 0 || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

std::span<const uint8_t> ExpertFile::cached_record(size_t expert, uint64_t file_length) const {
  uint64_t offset = 0;
  uint64_t end = 0;
  // A file cut short since it was mapped: its lost pages are gone from the
  // cache, but the page the new end falls in stays, zero past the end. The
  // read reports the short file instead.
  if (kind_ != Kind::Raw || expert_size_ == 0 || __builtin_mul_overflow(uint64_t{expert}, expert_size_, &offset) ||
      __builtin_add_overflow(offset, expert_size_, &end) || end > mapping_.size() || end > file_length) {
    return {};
  }
  if (!pages_cached(file_.get(), mapping_.data(), offset, expert_size_, mincore_sees_cache_)) return {};
  return {mapping_.data() + offset, static_cast<size_t>(expert_size_)};
}

void ExpertFile::warm_record(size_t expert) const {
  uint64_t offset = 0;
  uint64_t length = 0;
  if (kind_ == Kind::Raw) {
    if (__builtin_mul_overflow(uint64_t{expert}, expert_size_, &offset)) return;
    length = expert_size_;
  } else {
    if (expert + 1 >= offsets_.size() || offsets_[expert + 1] < offsets_[expert]) return;
    offset = 4 + 4 * uint64_t{offsets_.size()} + offsets_[expert];
    length = offsets_[expert + 1] - offsets_[expert];
  }
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      length > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    return;
  }
  (void)::posix_fadvise(file_.get(), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

Status ExpertFile::read_raw(size_t expert, std::span<uint8_t> dst) const {
  // Straight into the caller's (GPU staging) buffer: no intermediate copy.
  uint64_t offset = 0;
  ssize_t got = -1;
  if (!__builtin_mul_overflow(uint64_t{expert}, expert_size_, &offset)) {
    got = pread_once(file_.get(), dst.data(), expert_size_, offset);
  }
  if (got < 0 || static_cast<uint64_t>(got) != expert_size_) {
    return fail(io_error(IoErrorKind::UnexpectedEof,
                         fmt::format("pread expert {}: got {} expected {}", expert, got, expert_size_)));
  }
  return {};
}

Status ExpertFile::read_lz4(size_t expert, std::span<uint8_t> dst) const {
  const size_t count = offsets_.size() - 1;
  if (expert >= count) {
    return fail(io_error(IoErrorKind::InvalidInput,
                         fmt::format("lz4 expert {} out of range: the file holds {} experts", expert, count)));
  }
  const uint32_t start = offsets_[expert];
  const uint32_t end = offsets_[expert + 1];
  if (end < start) {
    return fail(io_error(IoErrorKind::InvalidData,
                         fmt::format("lz4 expert {}: block offsets decrease ({} then {})", expert, start, end)));
  }
  const size_t block_size = end - start;
  const uint64_t file_offset = 4 + 4 * uint64_t{offsets_.size()} + start;
  // The size comes from the file's table: a failed allocation is an error, not an abort
  // of the pool thread.
  std::unique_ptr<char[]> block(new (std::nothrow) char[block_size == 0 ? 1 : block_size]);
  if (!block) {
    return fail(io_error(IoErrorKind::OutOfMemory,
                         fmt::format("lz4 expert {}: cannot allocate a block of {} bytes", expert, block_size)));
  }
  const ssize_t got = pread_once(file_.get(), block.get(), block_size, file_offset);
  if (got < 0 || static_cast<size_t>(got) != block_size) {
    return fail(io_error(IoErrorKind::UnexpectedEof,
                         fmt::format("pread lz4 expert {}: got {} expected {}", expert, got, block_size)));
  }
  if (block_size > INT_MAX || expert_size_ > INT_MAX) {
    return fail(io_error(IoErrorKind::InvalidData,
                         fmt::format("lz4 decompress expert {}: block of {} bytes or record of {} bytes is beyond the "
                                     "decoder's limit",
                                     expert, block_size, expert_size_)));
  }
  // The bounded decoder never writes past expert_size bytes, and dst holds at least that
  // many, so the block is decoded in place.
  const int decoded = LZ4_decompress_safe(block.get(), reinterpret_cast<char*>(dst.data()),
                                          static_cast<int>(block_size), static_cast<int>(expert_size_));
  if (decoded < 0) {
    return fail(io_error(IoErrorKind::InvalidData,
                         fmt::format("lz4 decompress expert {}: malformed block or output beyond {} bytes "
                                     "(decoder stopped at input byte {} of {})",
                                     expert, expert_size_, -decoded - 1, block_size)));
  }
  // A short block would leave another expert's bytes in the tail of dst.
  if (static_cast<uint64_t>(decoded) != expert_size_) {
    return fail(io_error(IoErrorKind::InvalidData,
                         fmt::format("lz4 decompress expert {}: block decodes to {} bytes, expected {}", expert,
                                     decoded, expert_size_)));
  }
  return {};
}

}  // namespace varkel
