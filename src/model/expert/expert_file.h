#pragma once
// One layer's expert weights: raw records at a fixed stride, or LZ4 blocks behind an
// offset table. Read from several pool threads at once.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "error/moe_error.h"
#include "model/io/mapped_file.h"
#include "model/io/unique_fd.h"

namespace varkel {

// Bytes of one expert record for hidden size `hidden` and intermediate size `intermediate`:
// 3·⌊I·H/2⌋ + 8·⌊H/64⌋·I + 4·⌊I/64⌋·H in 64-bit arithmetic (wrapping, as unsigned does).
uint64_t expert_record_size(uint64_t hidden, uint64_t intermediate);

class ExpertFile {
 public:
  enum class Kind { Raw, Lz4 };

  // A raw layer file: record e at byte e·expert_size. `path` names it when
  // its mapping faults.
  static ExpertFile raw(UniqueFd file, uint64_t expert_size, const std::filesystem::path& path);
  // An LZ4 layer file: `offsets` holds N + 1 block bounds relative to the data area,
  // which starts at byte 4 + 4·(N + 1).
  static ExpertFile lz4(UniqueFd file, std::vector<uint32_t> offsets, uint64_t expert_size);

  // Opens layer `layer`'s LZ4 file: reads the count (must equal `num_experts`) and the
  // offset table. `num_experts` is std::nullopt when the configuration lacks it.
  static Result<ExpertFile> open_lz4(const std::filesystem::path& path, size_t layer,
                                     const std::optional<uint64_t>& num_experts, uint64_t expert_size);
  // Opens layer `layer`'s raw file; its length is not checked.
  static Result<ExpertFile> open_raw(const std::filesystem::path& path, size_t layer, uint64_t expert_size);

  Kind kind() const { return kind_; }
  uint64_t expert_size() const { return expert_size_; }
  // LZ4 only: the N + 1 offsets as read; empty for raw files.
  const std::vector<uint32_t>& offsets() const { return offsets_; }

  // Copies expert `expert`'s record (expert_size bytes) into the start of `dst`.
  // Positional reads only: safe to call from several threads at once, no lock.
  Status read_expert(size_t expert, std::span<uint8_t> dst) const;
  // Raw files only: bytes [begin, begin + dst.size()) of expert `expert`'s
  // record, in one positional read, so that several threads can share one
  // record. Same thread safety as read_expert.
  Status read_expert_part(size_t expert, uint64_t begin, std::span<uint8_t> dst) const;

  // Raw files only: expert `expert`'s record as it lies in the page cache,
  // through a read-only mapping of the file made at open, so that it can be
  // used where it is instead of copied. Empty when the file could not be
  // mapped, the record lies past the mapped length or past `file_length` (the
  // file's length now, from current_length), or any of its pages is not
  // cached: the record is then read as usual.
  std::span<const uint8_t> cached_record(size_t expert, uint64_t file_length) const;
  std::span<const uint8_t> cached_record(size_t expert) const { return cached_record(expert, current_length()); }
  // Asks the OS to start reading expert `expert`'s record into the page cache
  // and returns without waiting; a later read of it waits only for what is
  // still on its way. Only a hint: out-of-range experts and failures are ignored.
  void warm_record(size_t expert) const;
  // The file's length as it is now; 0 when it cannot be had.
  uint64_t current_length() const;
  // The mapping cached_record hands out pieces of; empty if there is none.
  std::span<const uint8_t> mapped() const { return {mapping_.data(), mapping_.size()}; }

 private:
  ExpertFile(Kind kind, UniqueFd file, std::vector<uint32_t> offsets, uint64_t expert_size, MappedFile mapping = {},
             bool mincore_sees_cache = false)
      : kind_(kind),
        file_(std::move(file)),
        offsets_(std::move(offsets)),
        expert_size_(expert_size),
        mapping_(std::move(mapping)),
        mincore_sees_cache_(mincore_sees_cache) {}

  Status read_raw(size_t expert, std::span<uint8_t> dst) const;
  Status read_lz4(size_t expert, std::span<uint8_t> dst) const;

  Kind kind_;
  UniqueFd file_;
  std::vector<uint32_t> offsets_;
  uint64_t expert_size_;
  MappedFile mapping_;  // raw files: the whole file as opened, or empty
  bool mincore_sees_cache_;  // else the page cache is asked directly
};

}  // namespace varkel
