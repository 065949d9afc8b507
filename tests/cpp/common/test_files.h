#pragma once
// Test helpers: a fresh directory removed afterwards, file writing and reading, a count of the
// process's open descriptors (to see that failures close what they opened), captured standard
// error, and little-endian bytes.

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace varkel::testing_support {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varkel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A scratch directory that is the working directory while it lives (the hub
// cache is relative to it).
class ScratchCwd : public ScratchDir {
 public:
  ScratchCwd() : previous_(std::filesystem::current_path()) { std::filesystem::current_path(path()); }
  ~ScratchCwd() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }

 private:
  std::filesystem::path previous_;
};

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  write_file(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline size_t open_descriptor_count() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

inline void append_u32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// What `f` returns, and what it wrote to standard error meanwhile.
template <class F>
auto capture_stderr(F&& f) {
  ::testing::internal::CaptureStderr();
  auto result = f();
  return std::pair{std::move(result), ::testing::internal::GetCapturedStderr()};
}

// What `f` returns; its standard error is dropped.
template <class F>
auto quietly(F&& f) {
  return capture_stderr(std::forward<F>(f)).first;
}

}  // namespace varkel::testing_support
