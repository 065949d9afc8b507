#pragma once
// The process's worker threads: parallel runs (kernels, encoders) and
// background tasks such as expert reads share them, so they never
// oversubscribe the cores.
//
// A parallel run is split into chunks that the calling thread and the workers
// claim one at a time; the call returns when every chunk is done. Completion
// counts chunks, not threads, so a worker the OS has not scheduled yet never
// holds the caller up: the others (or the caller alone) take its share.
//
// A task batch hands work to the pool without blocking: workers run its tasks
// whenever no parallel run needs them (a parallel run is joined between two
// tasks), and a thread that waits for a batch, or for anything a task
// signals, runs tasks meanwhile instead of idling.
//
// Workers are started on first use and live until the process exits. The
// pool has VARKEL_THREADS threads, the caller included (a positive number, at
// most one per CPU the process may run on), else one per CPU. Kernels, expert reads and the
// converter's encoders all run here: VARKEL_THREADS is the one knob.

#include <atomic>
#include <cstdint>
#include <string>

namespace varkel::parallel {

using ChunkFn = void (*)(void* context, uint32_t chunk);

// Runs fn(context, c) once for every c in [0, chunks), on the calling thread
// and the workers. One parallel run at a time per process (dispatches run on
// the thread that commits them); a run started inside a chunk runs inline on
// that chunk's thread. A chunk that throws does not stop the others: once all
// are done, the exception of the lowest failing chunk is rethrown (a run
// that stays on the calling thread stops at its first exception).
void run_chunks(uint32_t chunks, ChunkFn fn, void* context);

// Threads that take part in a run, the caller included.
uint32_t worker_count();

// The pool's size for a VARKEL_THREADS setting (null when unset) and the CPUs
// the process may use, with the line to print when the setting is not used as given.
struct ThreadBudget {
  uint32_t threads;
  std::string warning;
};
ThreadBudget thread_budget(const char* setting, uint32_t cpus);

// fn(context, i) once for every i in [0, count), in claim order, on the pool.
// Tasks must not throw. The destructor waits for every task. A parallel run
// started inside a task runs on that thread alone.
class TaskBatch {
 public:
  TaskBatch(uint32_t count, ChunkFn fn, void* context);
  ~TaskBatch();
  TaskBatch(const TaskBatch&) = delete;
  TaskBatch& operator=(const TaskBatch&) = delete;

  // Runs this batch's waiting tasks on the calling thread, then other
  // batches', until every task of this batch has returned.
  void wait();
  bool finished() const { return done_.load(std::memory_order_acquire) >= count_; }

 private:
  friend class WorkerPool;
  ChunkFn fn_;
  void* context_;
  uint32_t count_;
  alignas(64) std::atomic<uint32_t> next_{0};
  alignas(64) std::atomic<uint32_t> done_{0};
};

// Runs one waiting task of any batch on the calling thread; false when no
// task is waiting.
bool run_waiting_task();

// Returns once ready() holds, running waiting tasks meanwhile.
template <class Ready>
void wait_running_tasks(Ready&& ready);

// Since the process started: the barriers callers passed (parallel runs that
// used the workers and task batches waited for), and the time callers spent
// in parallel runs waiting for the workers' last chunks. While busy
// accounting is on (benchmarks), also the time workers spent running chunks
// and tasks, and the time callers spent waiting with nothing to run: a
// caller is busy for the rest of its time.
struct PoolStats {
  uint64_t regions = 0;
  uint64_t wait_ns = 0;
  uint64_t worker_busy_ns = 0;
  uint64_t caller_idle_ns = 0;
};
PoolStats pool_stats();
void set_busy_accounting(bool on);

// Backs off one step of a wait that found nothing to run.
void relax_wait(int& spins);

// Counts the time a caller's wait does not spend running tasks as idle.
class IdleAccount {
 public:
  IdleAccount();
  ~IdleAccount();
  IdleAccount(const IdleAccount&) = delete;
  IdleAccount& operator=(const IdleAccount&) = delete;

 private:
  uint64_t start_ns_ = 0;
  uint64_t tasks_ns_ = 0;
};

template <class Ready>
void wait_running_tasks(Ready&& ready) {
  const IdleAccount idle;
  for (int spins = 0; !ready();) {
    if (run_waiting_task()) {
      spins = 0;
    } else {
      relax_wait(spins);
    }
  }
}

}  // namespace varkel::parallel
