#include "model/io/fault_name.h"

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

namespace varkel {
namespace {

// Everything below is read by the signal handler: lock-free atomics only.
struct Slot {
  std::atomic<bool> claimed{false};
  std::atomic<uint32_t> version{0};  // odd while the range is being written
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<const char*> line{nullptr};
  std::atomic<std::size_t> length{0};
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free &&
              std::atomic<uintptr_t>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free &&
              std::atomic<std::size_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// A model holds one mapping per layer and one for its weights.
constexpr std::size_t kSlots = 1024;
Slot slots[kSlots];
// Handlers between their look-up and their write: a line is freed only when
// none is, so a handler never writes freed text.
std::atomic<int> handlers_reading{0};
struct sigaction previous_action;
std::once_flag installed;

bool sent_by_kernel(const siginfo_t* info) { return info != nullptr && info->si_code > 0; }

// Ends the process as SIGBUS's default action would, from inside its handler.
void die_by_default(int sig) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(sig, &fallback, nullptr);
  ::raise(sig);
  // Blocked while its handler runs: let it through now.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void pass_on(int sig, siginfo_t* info, void* context) {
  const struct sigaction& prev = previous_action;
  // sa_handler and sa_sigaction share their storage, and SA_SIGINFO may come
  // with either: the default action and ignore are known by value alone.
  const auto handler = prev.sa_handler;
  if (handler == SIG_IGN && !sent_by_kernel(info)) return;
  // An ignored fault would only come back: the kernel ends the process then too.
  if (handler == SIG_DFL || handler == SIG_IGN) {
    die_by_default(sig);
    return;
  }
  if ((prev.sa_flags & SA_SIGINFO) != 0) {
    prev.sa_sigaction(sig, info, context);
  } else {
    handler(sig);
  }
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  // Only a fault the kernel raised carries the faulting address.
  if (sent_by_kernel(info)) {
    const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    handlers_reading.fetch_add(1);
    for (Slot& slot : slots) {
      const uint32_t version = slot.version.load();
      if ((version & 1) != 0) continue;
      const uintptr_t begin = slot.begin.load();
      const uintptr_t end = slot.end.load();
      const char* line = slot.line.load();
      const std::size_t length = slot.length.load();
      if (slot.version.load() != version || line == nullptr || addr < begin || addr >= end) continue;
      for (std::size_t done = 0; done < length;) {
        const ssize_t n = ::write(STDERR_FILENO, line + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      die_by_default(sig);
      handlers_reading.fetch_sub(1);
      return;
    }
    handlers_reading.fetch_sub(1);
  }
  errno = saved_errno;
  pass_on(sig, info, context);
}

// Once, with the first named mapping: a process that maps no model file keeps
// its own handlers. One installed later on top of this one is its owner's.
void install() {
  struct sigaction prev {};
  if (::sigaction(SIGBUS, nullptr, &prev) != 0) return;
  previous_action = prev;  // before the handler can read it
  struct sigaction ours {};
  ours.sa_sigaction = on_sigbus;
  sigemptyset(&ours.sa_mask);
  // The alternate stack, where one is set up (Python's faulthandler does).
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  (void)::sigaction(SIGBUS, &ours, nullptr);
}

void write_slot(Slot& slot, uintptr_t begin, uintptr_t end, const char* line, std::size_t length) {
  slot.version.fetch_add(1);
  slot.begin.store(begin);
  slot.end.store(end);
  slot.line.store(line);
  slot.length.store(length);
  slot.version.fetch_add(1);
}

}  // namespace

std::string fault_line(const std::filesystem::path& path) {
  return "varkel: model file changed while mapped (truncated or rewritten in place): " + path.string() + "\n";
}

FaultName::FaultName(const void* begin, std::size_t size, const std::filesystem::path& path) {
  if (begin == nullptr || size == 0) return;
  std::call_once(installed, install);
  const std::string text = fault_line(path);
  line_ = std::make_unique<char[]>(text.size());
  std::memcpy(line_.get(), text.data(), text.size());
  for (std::size_t i = 0; i < kSlots; ++i) {
    bool free = false;
    if (!slots[i].claimed.compare_exchange_strong(free, true)) continue;
    const auto first = reinterpret_cast<uintptr_t>(begin);
    write_slot(slots[i], first, first + size, line_.get(), text.size());
    slot_ = static_cast<int>(i);
    return;
  }
  line_.reset();
}

FaultName::FaultName(FaultName&& other) noexcept
    : slot_(std::exchange(other.slot_, -1)), line_(std::move(other.line_)) {}

FaultName& FaultName::operator=(FaultName&& other) noexcept {
  if (this != &other) {
    release();
    slot_ = std::exchange(other.slot_, -1);
    line_ = std::move(other.line_);
  }
  return *this;
}

FaultName::~FaultName() { release(); }

void FaultName::release() {
  if (slot_ >= 0) {
    Slot& slot = slots[static_cast<std::size_t>(slot_)];
    write_slot(slot, 0, 0, nullptr, 0);
    // A handler that found the line before it was cleared may still be
    // writing it: it ends the process, or it is quick.
    while (handlers_reading.load() != 0) ::sched_yield();
    slot.claimed.store(false);
    slot_ = -1;
  }
  line_.reset();
}

}  // namespace varkel
