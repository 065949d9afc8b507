// A bus error inside a model file's mapping (the file cut short while mapped)
// names the file and ends the process as SIGBUS does; any other bus error goes
// on to the handler that was there before the first model file was mapped.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <span>
#include <string>

#include <gtest/gtest.h>

#include "model/expert/expert_file.h"
#include "model/expert_fixture.h"
#include "model/io/mapped_file.h"
#include "model/io/unique_fd.h"
#include "model/weights/weight_file.h"

namespace varkel {
namespace {

using namespace testing_support;

size_t page_size() { return static_cast<size_t>(::sysconf(_SC_PAGESIZE)); }

// The dying child leaves no core file behind.
void no_core_file() {
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

// Reads a byte of every page; no read may be left out.
void touch_pages(std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); i += page_size()) (void)*static_cast<const volatile uint8_t*>(&bytes[i]);
}

std::string regex_quote(const std::string& text) {
  std::string quoted;
  for (const char c : text) {
    if (std::strchr(".[]{}()\\*+?^$|", c) != nullptr) quoted += '\\';
    quoted += c;
  }
  return quoted;
}

// The one line naming `path`, last on standard error.
std::string naming_line(const std::filesystem::path& path) {
  return "(^|\n)varkel: model file changed while mapped \\(truncated or rewritten in place\\): " +
         regex_quote(path.string()) + "\n$";
}

TEST(FaultNameTest, ABusErrorInsideAModelFileNamesTheFile) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child touches this process's mappings
  ScratchDir dir;
  write_file(dir / "model_weights.bin", std::string(3 * page_size(), 'w'));
  write_file(dir / "model_weights.json", R"({"tensors": {}})");
  write_raw_layer(dir, 0);
  const auto weights = quietly([&] { return WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json"); });
  ASSERT_TRUE(weights.has_value());
  const auto expert_path = dir / "packed_experts" / layer_file_name(0);
  const auto experts = ExpertFile::open_raw(expert_path, 0, kSmallExpertSize);
  ASSERT_TRUE(experts.has_value());
  // A record handed out where it lies, as a forward uses it.
  const std::span<const uint8_t> record = experts->cached_record(kSmallExperts - 1);
  ASSERT_FALSE(record.empty());
  struct Case {
    const char* what;
    std::filesystem::path path;
    uint64_t kept;
    std::span<const uint8_t> bytes;
  };
  const Case cases[] = {
      {"the weight file, emptied after load", dir / "model_weights.bin", 0, weights->bytes()},
      {"an expert file cut to its first page under a record in use", expert_path, page_size(), record},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::resize_file(c.path, c.kept);
    EXPECT_EXIT(
        {
          no_core_file();
          touch_pages(c.bytes);
        },
        ::testing::KilledBySignal(SIGBUS), naming_line(c.path));
  }
}

const uint8_t* volatile fault_address = nullptr;

void previous_with_info(int, siginfo_t* info, void*) {
  const char* text = info != nullptr && info->si_addr == fault_address ? "previous handler, at the fault's address\n"
                                                                       : "previous handler, elsewhere\n";
  (void)!::write(STDERR_FILENO, text, std::strlen(text));
  ::_exit(3);
}

void previous_plain(int) {
  const char text[] = "previous plain handler\n";
  (void)!::write(STDERR_FILENO, text, sizeof text - 1);
  ::_exit(4);
}

// Ends the child without the fault, its files removed first.
[[noreturn]] void give_up(const ScratchDir& dir, const char* why) {
  std::error_code ignored;
  std::filesystem::remove_all(dir.path(), ignored);
  (void)!::write(STDERR_FILENO, why, std::strlen(why));
  ::_exit(9);
}

// In a process that has mapped no model file yet: installs `previous`, loads
// a model's weights (whose mapping installs the naming handler over it), and
// touches a mapping of another file cut short after mapping. The files are
// gone before the fault.
void fault_outside_model_files(const struct sigaction& previous) {
  no_core_file();
  // A fault passed on to nowhere would repeat for ever: the alarm ends such a
  // child by SIGALRM, which fails the test instead of hanging it.
  ::alarm(30);
  ::sigaction(SIGBUS, &previous, nullptr);
  ScratchDir dir;
  write_file(dir / "model_weights.bin", std::string(page_size(), 'w'));
  write_file(dir / "model_weights.json", R"({"tensors": {}})");
  write_file(dir / "other.bin", std::string(2 * page_size(), 'o'));
  const auto weights = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  const auto other_fd = UniqueFd::open(dir / "other.bin", O_RDWR);
  if (!weights || !other_fd) give_up(dir, "cannot load the model or open the other file\n");
  const auto other = MappedFile::map(other_fd->get());
  if (!other) give_up(dir, "cannot map the other file\n");
  struct sigaction now {};
  ::sigaction(SIGBUS, nullptr, &now);
  if ((now.sa_flags & SA_SIGINFO) == 0 || now.sa_sigaction == previous.sa_sigaction) {
    give_up(dir, "mapping a model file installed no handler\n");
  }
  if (::ftruncate(other_fd->get(), 0) != 0) give_up(dir, "cannot truncate the other file\n");
  std::filesystem::remove_all(dir.path());
  fault_address = other->data();
  touch_pages({other->data(), other->size()});
}

TEST(FaultNameTest, OtherBusErrorsReachTheHandlerInstalledBefore) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, with no model file mapped yet
  struct Case {
    const char* what;
    void (*plain)(int);
    void (*with_info)(int, siginfo_t*, void*);
    std::function<bool(int)> ends;
    const char* stderr_pattern;
    int flags;
  };
  // Ignore as sigaction records it, set through the other member.
  const auto ignore_with_info = reinterpret_cast<void (*)(int, siginfo_t*, void*)>(SIG_IGN);
  const char* const only_the_model_line = "\\[weights\\] mmap'd [^\n]*\n$";
  const Case cases[] = {
      {"a handler taking siginfo gets the fault's", nullptr, previous_with_info, ::testing::ExitedWithCode(3),
       "previous handler, at the fault's address\n$", SA_SIGINFO},
      {"a plain handler", previous_plain, nullptr, ::testing::ExitedWithCode(4), "previous plain handler\n$", 0},
      // Nothing written after the model's own line.
      {"the default action", SIG_DFL, nullptr, ::testing::KilledBySignal(SIGBUS), only_the_model_line, 0},
      {"the default action with SA_SIGINFO", SIG_DFL, nullptr, ::testing::KilledBySignal(SIGBUS), only_the_model_line,
       SA_SIGINFO},
      // A fault cannot be ignored: returning would only fault again.
      {"ignore", SIG_IGN, nullptr, ::testing::KilledBySignal(SIGBUS), only_the_model_line, 0},
      {"ignore set as sa_sigaction", nullptr, ignore_with_info, ::testing::KilledBySignal(SIGBUS), only_the_model_line,
       SA_SIGINFO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    struct sigaction previous {};
    sigemptyset(&previous.sa_mask);
    if (c.plain == nullptr) {
      previous.sa_sigaction = c.with_info;
    } else {
      previous.sa_handler = c.plain;
    }
    previous.sa_flags = c.flags;
    EXPECT_EXIT(fault_outside_model_files(previous), c.ends, c.stderr_pattern);
  }
}

}  // namespace
}  // namespace varkel
