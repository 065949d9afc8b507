#include "parallel/worker_pool.h"

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VARKEL_CPU_RELAX() _mm_pause()
#elif defined(__aarch64__)
#define VARKEL_CPU_RELAX() asm volatile("yield")
#else
#define VARKEL_CPU_RELAX() ((void)0)
#endif

namespace varkel::parallel {

namespace {

// Set while a thread runs chunks, so that a chunk that starts a parallel run
// of its own does it inline instead of waiting on the pool it occupies.
thread_local bool in_chunk = false;

// Busy accounting (benchmarks only): on whether workers time their work.
std::atomic<bool> accounting{false};
thread_local bool is_worker = false;
// Time a caller (not a worker) spent running tasks, while accounting.
thread_local uint64_t caller_tasks_ns = 0;

uint64_t now_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

// Adds the time from its construction to its end to `total` when accounting was on then.
class Timed {
 public:
  explicit Timed(bool on) : start_(on ? now_ns() : 0) {}
  uint64_t elapsed() const { return start_ == 0 ? 0 : now_ns() - start_; }

 private:
  uint64_t start_;
};

// CPUs this process may run on (taskset, container limits), not all the machine has.
uint32_t usable_cpus() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<uint32_t>(CPU_COUNT(&set));
#endif
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

// Spins a waiting caller does before yielding its core.
constexpr int kSpinsBeforeSleep = 2000;

// How long an idle worker spins before it sleeps: long enough to bridge the
// serial kernels between two parallel runs of a command buffer, since waking
// a sleeping worker costs tens of microseconds (more in a virtual machine)
// during which the caller runs alone; short enough to give the cores back
// soon after the last token. Measured by the clock, since a pause takes from
// a few to over a hundred cycles depending on the CPU.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(250);
constexpr int kSpinsPerClockCheck = 64;

// Chunk index of a job being set up: at or above every limit, so nothing is claimed.
constexpr uint64_t kClosed = 0xFFFFFFFFu;

}  // namespace

ThreadBudget thread_budget(const char* setting, uint32_t cpus) {
  if (setting == nullptr) return {cpus, {}};
  errno = 0;
  const unsigned long long n = std::strtoull(setting, nullptr, 10);
  // strtoull also takes blanks and a sign (wrapping "-1" round to a huge count): only digits are a count.
  const std::string_view text(setting);
  const bool digits = !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
  const bool number = digits && errno == 0;  // errno: too many digits
  if (!number || n == 0) {
    return {cpus, fmt::format("varkel: VARKEL_THREADS={} is not a positive number; using {} threads", setting, cpus)};
  }
  // More threads than CPUs only take turns on them, each spinning while it waits.
  if (n > cpus) {
    return {cpus, fmt::format("varkel: VARKEL_THREADS={} is more than the {} CPUs this process may use; using {} threads",
                              setting, cpus, cpus)};
  }
  return {static_cast<uint32_t>(n), {}};
}

class WorkerPool {
 public:
  WorkerPool() {
    const ThreadBudget budget = thread_budget(std::getenv("VARKEL_THREADS"), usable_cpus());
    if (!budget.warning.empty()) std::fprintf(stderr, "%s\n", budget.warning.c_str());
    const uint32_t total = budget.threads;
    const uint32_t helpers = total > 1 ? total - 1 : 0;
    threads_.reserve(helpers);
    for (uint32_t i = 0; i < helpers; ++i) {
      threads_.emplace_back([this] {
        is_worker = true;
        work();
      });
    }
  }

  // Never destroyed (see pool()): the threads end with the process.
  ~WorkerPool() = delete;

  uint32_t size() const { return static_cast<uint32_t>(threads_.size()) + 1; }

  void run(uint32_t chunks, ChunkFn fn, void* context) {
    std::lock_guard lock(run_mutex_);
    const uint64_t gen = (state_.load() >> 32) + 1;
    // Close the state before touching limit_: a worker still holding the
    // previous job's state then fails its exchange instead of pairing that
    // stale index with the new limit.
    state_.store((gen << 32) | kClosed);
    fn_ = fn;
    context_ = context;
    limit_.store(chunks);
    done_.store(0);
    state_.store(gen << 32);  // publishes the job: claims now succeed
    epoch_.fetch_add(1);
    epoch_.notify_all();
    claim_all(gen);
    regions_.fetch_add(1, std::memory_order_relaxed);
    if (done_.load() >= chunks) {
      rethrow_failure();
      return;
    }
    // Chunks still running elsewhere: spin briefly, then let a descheduled
    // worker have the core back.
    const auto waited_from = std::chrono::steady_clock::now();
    for (int spins = 0; done_.load() < chunks; ++spins) {
      if (spins < kSpinsBeforeSleep) {
        VARKEL_CPU_RELAX();
      } else {
        std::this_thread::yield();
      }
    }
    const auto waited = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - waited_from).count());
    wait_ns_.fetch_add(waited, std::memory_order_relaxed);
    if (!is_worker && accounting.load(std::memory_order_relaxed)) add_caller_idle(waited);
    rethrow_failure();
  }

  void add(TaskBatch* batch) {
    {
      std::lock_guard lock(batches_mutex_);
      batches_.push_back(batch);
      claimable_.fetch_add(1);
    }
    epoch_.fetch_add(1);
    epoch_.notify_all();
  }

  void remove(TaskBatch* batch) {
    std::lock_guard lock(batches_mutex_);
    std::erase(batches_, batch);
  }

  bool run_task() {
    if (claimable_.load() == 0) return false;
    TaskBatch* batch = nullptr;
    uint32_t index = 0;
    {
      std::lock_guard lock(batches_mutex_);
      for (TaskBatch* b : batches_) {
        if (claim(*b, index)) {
          batch = b;
          break;
        }
      }
    }
    if (batch == nullptr) return false;
    // The batch outlives its unfinished tasks (its destructor waits for them).
    execute(*batch, index);
    return true;
  }

  // One task of `batch`, which the caller keeps alive.
  bool run_task_of(TaskBatch& batch) {
    uint32_t index = 0;
    if (!claim(batch, index)) return false;
    execute(batch, index);
    return true;
  }

  void count_region() { regions_.fetch_add(1, std::memory_order_relaxed); }

  PoolStats stats() const {
    return {regions_.load(std::memory_order_relaxed), wait_ns_.load(std::memory_order_relaxed),
            worker_busy_ns_.load(std::memory_order_relaxed), caller_idle_ns_.load(std::memory_order_relaxed)};
  }

  void add_caller_idle(uint64_t ns) { caller_idle_ns_.fetch_add(ns, std::memory_order_relaxed); }

 private:
  // Claims and runs chunks of job `gen` until none is left or the job changed.
  // Finished chunks are counted once, on the way out: one contended add per
  // thread instead of one per chunk. The job cannot change before they are
  // counted (run() waits for them), so the count always lands in its own job.
  void claim_all(uint64_t gen) {
    uint32_t finished = 0;
    for (;;) {
      uint64_t s = state_.load();
      if ((s >> 32) != gen) break;
      const uint32_t index = static_cast<uint32_t>(s);
      // state_ only grows and is closed before limit_ changes, so a
      // successful exchange proves limit_ belonged to this job.
      const uint32_t limit = limit_.load();
      if (index >= limit) break;
      if (!state_.compare_exchange_weak(s, s + 1)) continue;
      in_chunk = true;
      const Timed timed(is_worker && accounting.load(std::memory_order_relaxed));
      try {
        fn_(context_, index);
      } catch (...) {
        record_failure(index, std::current_exception());
      }
      if (const uint64_t ns = timed.elapsed()) worker_busy_ns_.fetch_add(ns, std::memory_order_relaxed);
      in_chunk = false;
      ++finished;
    }
    if (finished != 0) done_.fetch_add(finished);
  }

  // Keeps the exception of the lowest failing chunk: which chunk fails first
  // in time depends on the threads, which chunk fails lowest does not.
  void record_failure(uint32_t chunk, std::exception_ptr error) {
    std::lock_guard lock(failure_mutex_);
    if (!failure_ || chunk < failed_chunk_) {
      failure_ = std::move(error);
      failed_chunk_ = chunk;
    }
  }

  // Called once every chunk is counted done, which orders the records before it.
  void rethrow_failure() {
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

  bool claim(TaskBatch& b, uint32_t& index) {
    if (b.next_.load(std::memory_order_relaxed) >= b.count_) return false;
    index = b.next_.fetch_add(1);
    if (index >= b.count_) return false;
    if (index + 1 == b.count_) claimable_.fetch_sub(1);
    return true;
  }

  void execute(TaskBatch& batch, uint32_t index) {
    const bool chunk = in_chunk;
    in_chunk = true;
    const Timed timed(!chunk && accounting.load(std::memory_order_relaxed));
    batch.fn_(batch.context_, index);
    if (const uint64_t ns = timed.elapsed()) {
      if (is_worker) {
        worker_busy_ns_.fetch_add(ns, std::memory_order_relaxed);
      } else {
        caller_tasks_ns += ns;
      }
    }
    in_chunk = chunk;
    batch.done_.fetch_add(1, std::memory_order_acq_rel);
  }

  void work() {
    uint32_t seen = epoch_.load();
    for (;;) {
      int spins = 0;
      std::chrono::steady_clock::time_point idle_since;
      uint32_t now;
      while ((now = epoch_.load()) == seen && claimable_.load() == 0) {
        VARKEL_CPU_RELAX();
        if (++spins % kSpinsPerClockCheck != 0) continue;
        const auto clock = std::chrono::steady_clock::now();
        if (spins == kSpinsPerClockCheck) {
          idle_since = clock;
        } else if (clock - idle_since >= kSpinBeforeSleep) {
          epoch_.wait(seen);
        }
      }
      seen = now;
      claim_all(state_.load() >> 32);
      // Background tasks one at a time; a parallel run opened meanwhile comes first.
      while (run_task()) claim_all(state_.load() >> 32);
    }
  }

  std::mutex run_mutex_;
  // The claim word and its limit share a line (read together by every claim);
  // the completion count and the wake-up epoch, which the caller and idle
  // workers poll, each have their own, so polling never steals the claim line.
  alignas(64) std::atomic<uint64_t> state_{0};  // job generation << 32 | next chunk
  std::atomic<uint32_t> limit_{0};
  alignas(64) std::atomic<uint32_t> done_{0};
  alignas(64) std::atomic<uint32_t> epoch_{0};
  alignas(64) ChunkFn fn_ = nullptr;
  void* context_ = nullptr;
  std::vector<std::thread> threads_;
  std::atomic<uint64_t> regions_{0};
  std::atomic<uint64_t> wait_ns_{0};
  std::atomic<uint64_t> worker_busy_ns_{0};
  std::atomic<uint64_t> caller_idle_ns_{0};
  std::mutex failure_mutex_;
  std::exception_ptr failure_;
  uint32_t failed_chunk_ = 0;
  // Batches in flight, and how many of them still have unclaimed tasks.
  alignas(64) std::atomic<uint32_t> claimable_{0};
  std::mutex batches_mutex_;
  std::vector<TaskBatch*> batches_;
};

namespace {

// Left to the end of the process on purpose: no exit-time join that could
// wait on threads a fork() did not copy, no kernel racing a destroyed pool.
WorkerPool& pool() {
  static WorkerPool* instance = new WorkerPool;
  return *instance;
}

}  // namespace

void run_chunks(uint32_t chunks, ChunkFn fn, void* context) {
  if (chunks == 0) return;
  if (chunks == 1 || in_chunk) {
    for (uint32_t c = 0; c < chunks; ++c) fn(context, c);
    return;
  }
  pool().run(chunks, fn, context);
}

uint32_t worker_count() { return pool().size(); }

PoolStats pool_stats() { return pool().stats(); }

void set_busy_accounting(bool on) { accounting.store(on, std::memory_order_relaxed); }

IdleAccount::IdleAccount() {
  if (is_worker || !accounting.load(std::memory_order_relaxed)) return;
  start_ns_ = now_ns();
  tasks_ns_ = caller_tasks_ns;
}

IdleAccount::~IdleAccount() {
  if (start_ns_ == 0) return;
  const uint64_t waited = now_ns() - start_ns_;
  const uint64_t working = caller_tasks_ns - tasks_ns_;
  if (waited > working) pool().add_caller_idle(waited - working);
}

TaskBatch::TaskBatch(uint32_t count, ChunkFn fn, void* context) : fn_(fn), context_(context), count_(count) {
  if (count_ != 0) pool().add(this);
}

TaskBatch::~TaskBatch() {
  if (count_ == 0) return;
  if (!finished()) wait();
  pool().remove(this);
}

void TaskBatch::wait() {
  pool().count_region();
  // Own tasks first: another batch's task could hold this thread up.
  while (pool().run_task_of(*this)) {
  }
  wait_running_tasks([this] { return finished(); });
}

bool run_waiting_task() { return pool().run_task(); }

void relax_wait(int& spins) {
  if (++spins < kSpinsBeforeSleep) {
    VARKEL_CPU_RELAX();
  } else {
    std::this_thread::yield();
  }
}

}  // namespace varkel::parallel
