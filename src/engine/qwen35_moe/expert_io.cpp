#include "engine/qwen35_moe/expert_io.h"

#include <algorithm>

#include "engine/telemetry.h"
#include "model/expert/expert_file.h"

namespace varkel::qwen35 {
namespace {

// Smallest piece worth a read of its own, and the aim of a couple of pieces
// per pool thread, so that a thread the OS runs late leaves little behind.
constexpr uint64_t kMinPieceBytes = 256 * 1024;
constexpr uint64_t kPiecesPerThread = 4;
constexpr uint64_t kPageBytes = 4096;

}  // namespace

ExpertReads::ExpertReads(const ExpertFile& file, std::span<const uint32_t> experts,
                         std::span<const std::span<uint8_t>> slots, std::span<const metal::SharedEventPtr> events,
                         uint64_t value, std::chrono::steady_clock::time_point start,
                         std::function<void()> last_started)
    : file_(file),
      experts_(experts.begin(), experts.end()),
      slots_(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(experts.size())),
      events_(events.begin(), events.end()),
      value_(value),
      last_started_(std::move(last_started)),
      parts_left_(std::make_unique<std::atomic<uint32_t>[]>(experts.size())),
      slots_left_(static_cast<uint32_t>(experts.size())),
      start_(start) {
  const uint64_t size = file.expert_size();
  const uint64_t records = std::max<uint64_t>(experts_.size(), 1);
  uint64_t parts = 1;
  if (file.kind() == ExpertFile::Kind::Raw) {
    const uint64_t wanted = (kPiecesPerThread * metal::worker_count() + records - 1) / records;
    parts = std::clamp<uint64_t>(wanted, 1, std::max<uint64_t>(size / kMinPieceBytes, 1));
  }
  // Whole pages per piece, the last one taking the rest.
  part_bytes_ = parts == 1 ? size : (size / parts + kPageBytes - 1) / kPageBytes * kPageBytes;
  parts_per_record_ = static_cast<uint32_t>(parts == 1 ? 1 : (size + part_bytes_ - 1) / part_bytes_);
  // Slot by slot, so the first records land first.
  for (uint32_t i = 0; i < experts_.size(); ++i) {
    parts_left_[i].store(parts_per_record_);
    for (uint32_t p = 0; p < parts_per_record_; ++p) pieces_.push_back({i, p});
  }
  if (pieces_.empty()) mark_landed();
  batch_.emplace(static_cast<uint32_t>(pieces_.size()), &ExpertReads::run_piece, this);
}

void ExpertReads::mark_landed() {
  landed_ns_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count());
}

void ExpertReads::run_piece(void* self, uint32_t index) {
  auto* reads = static_cast<ExpertReads*>(self);
  // Tasks are claimed in order: the last index starts last.
  if (index + 1 == reads->pieces_.size() && reads->last_started_) reads->last_started_();
  reads->read_piece(reads->pieces_[index]);
}

void ExpertReads::record_failure(MoEError error) {
  std::lock_guard lock(error_mutex_);
  if (!error_) error_ = std::move(error);
}

void ExpertReads::read_piece(const Piece& piece) {
  const uint32_t expert = experts_[piece.slot];
  const std::span<uint8_t> slot = slots_[piece.slot];
  if (parts_per_record_ == 1) {
    if (Status read = file_.read_expert(expert, slot); !read) record_failure(std::move(read.error()));
  } else {
    const uint64_t begin = piece.part * part_bytes_;
    const uint64_t bytes = std::min(part_bytes_, file_.expert_size() - begin);
    Status read = slot.size() < file_.expert_size()
                      ? file_.read_expert(expert, slot)  // refuses the short slot as a whole read does
                      : file_.read_expert_part(expert, begin, slot.subspan(begin, bytes));
    // A failed part is read again whole, so the error is the one a whole read gives.
    if (!read) {
      if (Status whole = file_.read_expert(expert, slot); !whole) record_failure(std::move(whole.error()));
    }
  }
  if (parts_left_[piece.slot].fetch_sub(1) != 1) return;
  if (slots_left_.fetch_sub(1) == 1) mark_landed();
  if (piece.slot < events_.size()) events_[piece.slot]->set_signaled_value(value_);
}

Status ExpertReads::finish(TelemetryMap& telemetry) {
  if (batch_) batch_->wait();
  if (error_) return fail(std::move(*error_));
  timing_add(telemetry, "engine.expert_io_ms", landed_ms());
  return {};
}

double ExpertReads::landed_ms() const {
  const int64_t ns = landed_ns_.load();
  return (static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9) * 1000.0;
}

Status route_experts(const ExpertFile& file, std::span<const uint32_t> experts, std::span<const std::span<uint8_t>> slots,
                     TelemetryMap& telemetry) {
  ExpertReads reads(file, experts, slots, {}, 0);
  return reads.finish(telemetry);
}

}  // namespace varkel::qwen35
