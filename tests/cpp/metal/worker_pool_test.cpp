#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "metal/dispatch_schedule.h"
#include "metal/kernels/parallel_rows.h"
#include "metal/linked_kernel.h"
#include "metal/kernels/worker_pool.h"
#include "metal/metal.h"

namespace varkel::metal {
namespace {

TEST(WorkerPoolTest, RunsEveryChunkOnceAcrossRepeatedRuns) {
  EXPECT_GE(worker_count(), 1u);
  for (uint32_t chunks : {3u, 1000u}) {
    for (int repeat = 0; repeat < 20; ++repeat) {
      std::vector<std::atomic<int>> hits(chunks);
      run_chunks(
          chunks, [](void* p, uint32_t c) { (*static_cast<std::vector<std::atomic<int>>*>(p))[c].fetch_add(1); },
          &hits);
      for (uint32_t c = 0; c < chunks; ++c) ASSERT_EQ(hits[c].load(), 1) << "chunk " << c << " of " << chunks;
    }
  }
}

TEST(WorkerPoolTest, ParallelRowsCoverTheRowsOnceAndNestInline) {
  for (uint32_t rows : {1u, 100000u}) {
    std::vector<std::atomic<int>> hits(rows);
    parallel_rows(rows, 4096, [&](uint32_t begin, uint32_t end) {
      ASSERT_LT(begin, end);
      // A parallel run from inside a chunk of a split run stays on its thread.
      const auto self = std::this_thread::get_id();
      const bool split = rows > 1;
      std::atomic<int> inner{0};
      parallel_rows(64, 1 << 20, [&](uint32_t b, uint32_t e) {
        if (split) {
          EXPECT_EQ(std::this_thread::get_id(), self);
        }
        inner.fetch_add(static_cast<int>(e - b));
      });
      EXPECT_EQ(inner.load(), 64);
      for (uint32_t r = begin; r < end; ++r) hits[r].fetch_add(1);
    });
    for (uint32_t r = 0; r < rows; ++r) ASSERT_EQ(hits[r].load(), 1) << "row " << r << " of " << rows;
  }
}

// Tasks run once each beside parallel runs; a command buffer waiting for an
// event that the last task signals sees every byte the tasks wrote.
TEST(WorkerPoolTest, TaskBatchesRunBesideParallelRunsAndReleaseEventWaits) {
  struct Tasks {
    std::vector<std::atomic<int>> hits = std::vector<std::atomic<int>>(64);
    std::atomic<int> left{64};
    SharedEventPtr event;
    std::vector<float>* data;
  };
  auto device = Device::system_default();
  std::vector<float> data(64, 0.0f);
  Tasks tasks{.event = device->new_shared_event(), .data = &data};
  {
    TaskBatch batch(
        64,
        [](void* p, uint32_t i) {
          auto& t = *static_cast<Tasks*>(p);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          (*t.data)[i] = static_cast<float>(i);
          t.hits[i].fetch_add(1);
          if (t.left.fetch_sub(1) == 1) t.event->set_signaled_value(7);
        },
        &tasks);
    for (int run = 0; run < 10; ++run) {
      std::atomic<uint32_t> chunks{0};
      run_chunks(
          100, [](void* p, uint32_t) { static_cast<std::atomic<uint32_t>*>(p)->fetch_add(1); }, &chunks);
      ASSERT_EQ(chunks.load(), 100u);
    }
    auto queue = device->new_command_queue();
    auto cmd = queue->command_buffer();
    cmd->encode_wait_for_event(tasks.event, 7);
    cmd->commit();
    EXPECT_EQ(cmd->status(), CommandBufferStatus::Completed);
    EXPECT_EQ(tasks.event->signaled_value(), 7u);
    float sum = 0;
    for (float v : data) sum += v;
    EXPECT_EQ(sum, 64.0f * 63.0f / 2.0f);
  }
  for (int i = 0; i < 64; ++i) ASSERT_EQ(tasks.hits[i].load(), 1) << "task " << i;
}

// Dispatches over byte ranges of one block: which step each runs in. A read
// beside a read shares a step; a write orders everything that touches its
// bytes; a dispatch never runs before one it has a hazard with.
std::mutex ran_mutex;
std::vector<std::pair<uint32_t, uint32_t>> ran;  // (dispatch, step)
uint32_t current_step = 0;

// Runs the schedule; the step each of its `count` dispatches recorded itself
// in (99: never), and how many records there were.
std::pair<std::vector<uint32_t>, std::size_t> run_recording_steps(DispatchSchedule& schedule, std::size_t count) {
  ran.clear();
  current_step = 0;
  uint32_t steps = 0;
  schedule.run([&](uint32_t) { current_step = steps++; });
  std::vector<uint32_t> got(count, 99);
  for (const auto& [d, step] : ran) {
    if (d < count) got[d] = step;
  }
  return {got, ran.size()};
}

TEST(DispatchScheduleTest, HazardsOrderDispatchesAndTheRestShareSteps) {
  struct Use {
    uint32_t begin, end;  // bytes of the block
    bool written;
  };
  struct Case {
    std::vector<std::vector<Use>> dispatches;
    std::vector<uint32_t> steps;
  };
  std::vector<Case> cases = {
      {{{{0, 64, false}}, {{0, 64, false}}, {{64, 128, true}}}, {0, 0, 0}},     // reads and a disjoint write
      {{{{0, 64, true}}, {{32, 96, false}}, {{200, 300, true}}}, {0, 1, 0}},   // read after write
      {{{{0, 64, false}}, {{60, 70, true}}}, {0, 1}},                          // write after read
      {{{{0, 64, true}}, {{0, 8, true}}, {{100, 110, false}}}, {0, 1, 0}},     // write after write
      {{{{0, 10, true}}, {{0, 10, false}, {20, 30, true}}, {{20, 30, false}}, {{40, 50, true}}}, {0, 1, 2, 0}},
  };
  // Enough independent dispatches for one parallel run of whole dispatches.
  Case& many = cases.emplace_back();
  for (uint32_t d = 0; d < 40; ++d) {
    many.dispatches.push_back({{8 * d, 8 * d + 8, true}, {400, 512, false}});
    many.steps.push_back(0);
  }
  std::vector<std::byte> block(512);
  for (const Case& c : cases) {
    std::vector<LinkedKernel> kernels(c.dispatches.size());
    DispatchSchedule schedule;
    for (uint32_t d = 0; d < c.dispatches.size(); ++d) {
      LinkedKernel& k = kernels[d];
      DispatchArgs args;
      for (uint32_t i = 0; i < c.dispatches[d].size(); ++i) {
        const Use& u = c.dispatches[d][i];
        k.params.push_back({ParamKind::Buffer, ElementType::Uchar, u.written, "b", i});
        args.buffers[i] = {block.data() + u.begin, u.end - u.begin};
      }
      k.params.push_back({ParamKind::Constant, ElementType::Uint, false, "id", 30});
      args.constants[30] = d;
      args.grid.threadgroups[0] = 64;  // big enough to be handed out
      k.run = [](const DispatchArgs& a) {
        // A parallel run inside a dispatch covers its rows once.
        std::atomic<uint32_t> rows{0};
        parallel_rows(4000, 1 << 16, [&](uint32_t b, uint32_t e) { rows.fetch_add(e - b); });
        std::lock_guard lock(ran_mutex);
        ran.emplace_back(rows.load() == 4000 ? a.u32(30) : 1000, current_step);
      };
      schedule.add(k, args, 0);
    }
    const auto [got, records] = run_recording_steps(schedule, c.dispatches.size());
    EXPECT_EQ(got, c.steps);  // a nested parallel run that missed rows leaves 99
    EXPECT_EQ(records, c.dispatches.size());
  }
}

// A mat-vec too small to busy the threads joins the next step that has
// mat-vecs, unless a dispatch in between or in that step touches its bytes.
TEST(DispatchScheduleTest, SmallRowSplitsJoinTheNextSplitStepWhenNothingBetweenNeedsThem) {
  struct Use {
    uint32_t begin, end;
    bool written;
  };
  struct Dispatch {
    bool splits;
    uint32_t rows;  // splitting dispatches: rows of 1 KiB
    std::vector<Use> uses;
  };
  struct Case {
    const char* name;
    std::vector<Dispatch> dispatches;
    std::vector<uint32_t> steps;  // of the steps that ran, the one each dispatch ran in
  };
  const Use x{400, 512, false};
  const Case cases[] = {
      {"joins the next mat-vec step",
       {{true, 64, {{0, 64, true}, x}}, {false, 0, {{100, 164, true}, {300, 364, false}}},
        {true, 4096, {{100, 164, false}, {200, 264, true}}}},
       {1, 0, 1}},
      {"stays: that step reads its output",
       {{true, 64, {{0, 64, true}, x}}, {false, 0, {{100, 164, true}, {300, 364, false}}},
        {true, 4096, {{100, 164, false}, {0, 8, false}, {200, 264, true}}}},
       {0, 0, 1}},
      {"stays: a dispatch in between reads its output",
       {{true, 64, {{0, 64, true}, x}}, {false, 0, {{0, 64, false}, {100, 164, true}}},
        {true, 4096, {{100, 164, false}, {200, 264, true}}}},
       {0, 1, 2}},
      {"stays: no later step has mat-vecs",
       {{true, 64, {{0, 64, true}, x}}, {false, 0, {{0, 64, false}, {100, 164, true}}}},
       {0, 1}},
      {"a big one stays where it is",
       {{true, 1u << 16, {{0, 64, true}, x}}, {false, 0, {{100, 164, true}, {300, 364, false}}},
        {true, 4096, {{100, 164, false}, {200, 264, true}}}},
       {0, 0, 1}},
  };
  std::vector<std::byte> block(512);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<LinkedKernel> kernels(c.dispatches.size());
    DispatchSchedule schedule;
    for (uint32_t d = 0; d < c.dispatches.size(); ++d) {
      LinkedKernel& k = kernels[d];
      DispatchArgs args;
      for (uint32_t i = 0; i < c.dispatches[d].uses.size(); ++i) {
        const Use& u = c.dispatches[d].uses[i];
        k.params.push_back({ParamKind::Buffer, ElementType::Uchar, u.written, "b", i});
        args.buffers[i] = {block.data() + u.begin, u.end - u.begin};
      }
      k.params.push_back({ParamKind::Constant, ElementType::Uint, false, "id", 30});
      k.params.push_back({ParamKind::Constant, ElementType::Uint, false, "rows", 29});
      args.constants[30] = d;
      args.constants[29] = c.dispatches[d].rows;
      args.grid.threadgroups[0] = 64;
      k.run = [](const DispatchArgs& a) {
        std::lock_guard lock(ran_mutex);
        ran.emplace_back(a.u32(30), current_step);
      };
      if (c.dispatches[d].splits) {
        k.split.work = [](const DispatchArgs& a) { return RowWork{a.u32(29), 1024}; };
        k.split.run_rows = [](const DispatchArgs& a, const float*, uint32_t begin, uint32_t) {
          if (begin != 0) return;  // once per dispatch
          std::lock_guard lock(ran_mutex);
          ran.emplace_back(a.u32(30), current_step);
        };
      }
      schedule.add(k, args, 0);
    }
    const auto [got, records] = run_recording_steps(schedule, c.dispatches.size());
    EXPECT_EQ(got, c.steps);  // a nested parallel run that missed rows leaves 99
    EXPECT_EQ(records, c.dispatches.size());
  }
}

// The preparations of a step's mat-vecs are made inside its parallel run:
// one per distinct shared input, and every range of a dispatch sees its
// preparation whole, however long it takes.
TEST(DispatchScheduleTest, EveryRangeSeesItsWholePreparationAndSharersMakeOne) {
  static std::atomic<int> preparations{0};
  static std::atomic<int> stale_ranges{0};
  static std::atomic<uint32_t> rows_seen{0};
  std::vector<std::byte> block(4096);
  // Dispatches 0 and 1 read the same x (bytes 0..256) with the same
  // constants; dispatch 2 reads another; each writes its own output.
  const uint32_t x_begin[] = {0, 0, 256};
  for (uint32_t nonce : {1u, 2u}) {
    preparations = 0;
    stale_ranges = 0;
    rows_seen = 0;
    std::vector<LinkedKernel> kernels(3);
    DispatchSchedule schedule;
    for (uint32_t d = 0; d < 3; ++d) {
      LinkedKernel& k = kernels[d];
      DispatchArgs args;
      k.params.push_back({ParamKind::Buffer, ElementType::Uchar, false, "x", 0});
      k.params.push_back({ParamKind::Buffer, ElementType::Uchar, true, "out", 1});
      k.params.push_back({ParamKind::Constant, ElementType::Uint, false, "nonce", 28});
      args.buffers[0] = {block.data() + x_begin[d], 256};
      args.buffers[1] = {block.data() + 1024 + 64 * d, 64};
      args.constants[28] = nonce;
      args.grid.threadgroups[0] = 64;
      k.split.work = [](const DispatchArgs&) { return RowWork{4096, 1024}; };
      k.split.shared_input = 0;
      // Slow, and written last: a range that did not wait for it sees the
      // previous run's mark.
      k.split.prepare = [](const DispatchArgs& a, float* scratch) {
        ++preparations;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        scratch[0] = static_cast<float>(100 * a.u32(28) + (a.buffers[0].data[0] == std::byte{0} ? 0 : 1));
      };
      k.split.run_rows = [](const DispatchArgs& a, const float* scratch, uint32_t begin, uint32_t end) {
        const float expected = static_cast<float>(100 * a.u32(28) + (a.buffers[0].data[0] == std::byte{0} ? 0 : 1));
        if (scratch == nullptr || scratch[0] != expected) ++stale_ranges;
        rows_seen += end - begin;
      };
      schedule.add(k, args, 0);
    }
    block[256] = std::byte{1};  // tells dispatch 2's x from the others'
    schedule.run([](uint32_t) {});
    EXPECT_EQ(preparations.load(), 2) << nonce;
    EXPECT_EQ(stale_ranges.load(), 0) << nonce;
    EXPECT_EQ(rows_seen.load(), 3u * 4096) << nonce;
  }
}

// A kernel that throws ends the run with its exception and leaves nothing
// behind: the next run of the same schedule runs only what was added since.
TEST(DispatchScheduleTest, AThrowingKernelLeavesNoDispatchBehind) {
  static int runs = 0;
  LinkedKernel throwing, counting;
  throwing.run = [](const DispatchArgs&) { throw std::runtime_error("kernel failed"); };
  counting.run = [](const DispatchArgs&) { ++runs; };
  DispatchArgs args;
  args.grid.threadgroups[0] = 64;
  DispatchSchedule schedule;
  schedule.add(counting, args, 0);
  schedule.add(throwing, args, 0);
  runs = 0;
  EXPECT_THROW(schedule.run([](uint32_t) {}), std::runtime_error);
  const int before = runs;
  schedule.add(counting, args, 0);
  schedule.run([](uint32_t) {});
  EXPECT_EQ(runs, before + 1);

  // A mat-vec whose preparation throws: its ranges do not wait for it
  // forever, and the run ends with that exception.
  static std::atomic<uint32_t> rows_run{0};
  LinkedKernel unprepared;
  unprepared.params.push_back({ParamKind::Buffer, ElementType::Uchar, false, "x", 0});
  unprepared.split.work = [](const DispatchArgs&) { return RowWork{4096, 1024}; };
  unprepared.split.prepare = [](const DispatchArgs&, float*) { throw std::runtime_error("preparation failed"); };
  unprepared.split.run_rows = [](const DispatchArgs&, const float*, uint32_t begin, uint32_t end) {
    rows_run += end - begin;
  };
  std::vector<std::byte> x(64);
  args.buffers[0] = {x.data(), x.size()};
  schedule.add(unprepared, args, 0);
  EXPECT_THROW(schedule.run([](uint32_t) {}), std::runtime_error);
  EXPECT_EQ(rows_run.load(), 4096u);
}

}  // namespace
}  // namespace varkel::metal
