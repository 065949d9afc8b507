#pragma once
// The process-wide worker pool that runs one layer's expert reads.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace varkel {

class WorkerPool {
 public:
  // Created by the first call and kept for the life of the process. Its size
  // is RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (each only when a positive
  // integer), else the number of cores.
  static WorkerPool& global();

  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return threads_.size(); }

  // Runs every job on the pool's threads and returns once all have returned.
  // The calling thread only waits. Jobs must not throw.
  void run_scope(std::vector<std::function<void()>>& jobs);

 private:
  struct Scope {
    std::size_t remaining = 0;
    std::condition_variable done;
  };
  struct Task {
    std::function<void()>* job;
    Scope* scope;
  };

  void worker_loop();

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<Task> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// The pool size the environment asks for (see WorkerPool::global).
std::size_t worker_pool_size_from_env();

}  // namespace varkel
