#include "engine/worker_pool.h"

#include <charconv>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace varkel {
namespace {

std::optional<std::size_t> positive_env(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  const std::string_view s(text);
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || value == 0) return std::nullopt;
  return value;
}

}  // namespace

std::size_t worker_pool_size_from_env() {
  if (auto n = positive_env("RAYON_NUM_THREADS")) return *n;
  if (auto n = positive_env("RAYON_RS_NUM_CPUS")) return *n;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

WorkerPool& WorkerPool::global() {
  static WorkerPool pool(worker_pool_size_from_env());
  return pool;
}

WorkerPool::WorkerPool(std::size_t threads) {
  if (threads == 0) threads = 1;
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { worker_loop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::run_scope(std::vector<std::function<void()>>& jobs) {
  if (jobs.empty()) return;
  Scope scope;
  {
    std::lock_guard lock(mutex_);
    scope.remaining = jobs.size();
    for (auto& job : jobs) queue_.push_back(Task{&job, &scope});
  }
  work_ready_.notify_all();
  std::unique_lock lock(mutex_);
  scope.done.wait(lock, [&] { return scope.remaining == 0; });
}

void WorkerPool::worker_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, nothing left
    const Task task = queue_.front();
    queue_.pop_front();
    lock.unlock();
    (*task.job)();
    lock.lock();
    if (--task.scope->remaining == 0) task.scope->done.notify_all();
  }
}

}  // namespace varkel
