#pragma once
// The compute layer runs on the process's one worker pool.

#include "parallel/worker_pool.h"

namespace varkel::metal {

using parallel::ChunkFn;
using parallel::pool_stats;
using parallel::PoolStats;
using parallel::relax_wait;
using parallel::run_chunks;
using parallel::run_waiting_task;
using parallel::TaskBatch;
using parallel::wait_running_tasks;
using parallel::worker_count;

}  // namespace varkel::metal
