#include "support/weight_file_builder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include <fmt/format.h>

#include "parallel/parallel_for.h"

namespace varkel::test_support {

namespace {

constexpr uint64_t kAlignment = 64;
constexpr std::size_t kChunkValues = std::size_t{1} << 20;

void write_at(int fd, const uint8_t* data, std::size_t size, uint64_t offset) {
  while (size != 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(fmt::format("pwrite failed: {}", std::strerror(errno)));
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
}

// The parts the encoder gives for a rows x cols source, with sizes per row.
std::vector<PlannedPart> plan_parts(const std::string& name, DType dtype, std::size_t rows, std::size_t cols) {
  const uint64_t r = rows;
  const uint64_t c = cols;
  auto part = [&](std::string_view suffix, std::string_view type, std::vector<uint64_t> shape, uint64_t row_bytes) {
    const std::string base = name.ends_with(".weight") ? name.substr(0, name.size() - 7) : name;
    return PlannedPart{base + std::string(suffix), std::string(type), std::move(shape), 0, r * row_bytes,
                       row_bytes};
  };
  switch (dtype) {
    case DType::F32:
      return {PlannedPart{name, "f32", {r * c}, 0, r * c * 4, c * 4}};
    case DType::Bf16:
      return {PlannedPart{name, "bf16", {r * c}, 0, r * c * 2, c * 2}};
    case DType::U32:
      return {part(".weight", "u32", {r, c / 8}, c / 2), part(".scales", "bf16", {r, c / 64}, c / 64 * 2),
              part(".biases", "bf16", {r, c / 64}, c / 64 * 2)};
    case DType::U8:
      return {part(".weight", "u8", {r, c}, c), part(".scales", "f32", {r}, 4)};
    default:
      throw std::logic_error(fmt::format("{}: no plan for {}", name, as_str(dtype)));
  }
}

}  // namespace

void WeightFileBuilder::place(Source source, std::vector<PlannedPart> parts) {
  end_ = (end_ + kAlignment - 1) / kAlignment * kAlignment;
  source.first_part = parts_.size();
  source.part_count = parts.size();
  for (auto& part : parts) {
    part.offset = end_;
    end_ += part.size;
    parts_.push_back(std::move(part));
  }
  sources_.push_back(std::move(source));
}

void WeightFileBuilder::add_generated(std::string name, DType dtype, std::size_t rows, std::size_t cols,
                                      RowGenerator values) {
  auto parts = plan_parts(name, dtype, rows, cols);
  place(Source{std::move(name), dtype, rows, cols, std::move(values), {}, 0, 0, false}, std::move(parts));
}

void WeightFileBuilder::add_raw(std::string name, std::string dtype, std::vector<uint64_t> shape,
                                std::vector<uint8_t> bytes) {
  PlannedPart part{name, std::move(dtype), std::move(shape), 0, bytes.size(), 0};
  Source source{std::move(name), DType::F32, 0, 0, nullptr, std::move(bytes), 0, 0, true};
  place(std::move(source), {std::move(part)});
}

void WeightFileBuilder::write(const std::filesystem::path& bin_path, const std::filesystem::path& json_path,
                              const nlohmann::json& config) const {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(bin_path.c_str(), "wbe"), std::fclose);
  const int fd = file ? ::fileno(file.get()) : -1;
  if (fd < 0) throw std::runtime_error(fmt::format("cannot create {}: {}", bin_path.string(), std::strerror(errno)));
  if (::ftruncate(fd, static_cast<off_t>(end_)) != 0) {
    throw std::runtime_error(fmt::format("cannot size {}: {}", bin_path.string(), std::strerror(errno)));
  }

  // One job per row chunk of every generated tensor, run on all cores.
  struct Job {
    const Source* source;
    std::size_t row_begin;
    std::size_t rows;
  };
  std::vector<Job> jobs;
  for (const Source& source : sources_) {
    if (source.is_raw) {
      write_at(fd, source.raw.data(), source.raw.size(), parts_[source.first_part].offset);
      continue;
    }
    const bool flat = source.dtype == DType::F32 || source.dtype == DType::Bf16;
    const std::size_t chunk = flat ? std::max<std::size_t>(source.rows, 1)
                                   : std::max<std::size_t>(1, kChunkValues / std::max<std::size_t>(source.cols, 1));
    for (std::size_t row = 0; row < source.rows; row += chunk) {
      jobs.push_back(Job{&source, row, std::min(chunk, source.rows - row)});
    }
  }
  std::string failure;
  std::mutex failure_mutex;
  parallel::for_each_index(jobs.size(), [&](std::size_t j) {
    const Job& job = jobs[j];
    const Source& source = *job.source;
    try {
      std::vector<float> values(job.rows * source.cols);
      source.values(job.row_begin, job.rows, values);
      auto encoded = encode(source.dtype, values, job.rows, source.cols);
      if (!encoded) throw std::runtime_error(fmt::format("{}: {}", source.name, encoded.error()));
      if (encoded->size() != source.part_count) throw std::logic_error(source.name + ": part count differs");
      for (std::size_t p = 0; p < source.part_count; ++p) {
        const PlannedPart& part = parts_[source.first_part + p];
        const auto& data = (*encoded)[p].data;
        if (data.size() != job.rows * part.row_bytes) throw std::logic_error(part.name + ": part size differs");
        write_at(fd, data.data(), data.size(), part.offset + job.row_begin * part.row_bytes);
      }
    } catch (const std::exception& error) {
      const std::lock_guard lock(failure_mutex);
      if (failure.empty()) failure = error.what();
    }
  });
  if (!failure.empty()) throw std::runtime_error(failure);

  nlohmann::json tensors = nlohmann::json::object();
  for (const PlannedPart& part : parts_) {
    tensors[part.name] = {{"dtype", part.dtype}, {"offset", part.offset}, {"shape", part.shape}, {"size", part.size}};
  }
  nlohmann::json manifest = {{"config", config}, {"model", "synthetic"}, {"num_tensors", parts_.size()},
                             {"tensors", std::move(tensors)}};
  std::ofstream out(json_path, std::ios::binary | std::ios::trunc);
  out << manifest.dump(2);
  if (!out) throw std::runtime_error(fmt::format("cannot write {}", json_path.string()));
}

}  // namespace varkel::test_support
