#pragma once
// The kernels' worker threads.
//
// A parallel run is split into chunks that the calling thread and the workers
// claim one at a time; the call returns when every chunk is done. Completion
// counts chunks, not threads, so a worker the OS has not scheduled yet never
// holds the caller up: the others (or the caller alone) take its share.
// Workers are started on first use and live until the process exits; there
// is one per hardware thread besides the caller, or VARKEL_KERNEL_THREADS - 1.

#include <cstdint>

namespace varkel::metal {

using ChunkFn = void (*)(void* context, uint32_t chunk);

// Runs fn(context, c) once for every c in [0, chunks), on the calling thread
// and the workers. Not reentrant: one parallel run at a time per process
// (dispatches run on the thread that commits them).
void run_chunks(uint32_t chunks, ChunkFn fn, void* context);

// Threads that take part in a run, the caller included.
uint32_t worker_count();

// Since the process started: parallel runs that used the workers, and the
// time their callers spent waiting for the workers' last chunks.
struct PoolStats {
  uint64_t regions = 0;
  uint64_t wait_ns = 0;
};
PoolStats pool_stats();

}  // namespace varkel::metal
