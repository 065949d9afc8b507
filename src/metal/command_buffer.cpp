// Command queues, command buffers and compute encoders: dispatches are
// recorded with references to what they use, then checked and run in order.

#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "metal/dispatch_schedule.h"
#include "metal/kernels/worker_pool.h"
#include "metal/linked_kernel.h"
#include "metal/metal.h"

namespace varkel::metal {

namespace {

struct Slot {
  enum class Kind : uint8_t { Empty, Buffer, Bytes };
  BufferPtr buffer;
  uint64_t offset = 0;
  uint32_t bits = 0;          // first 4 bytes of set_bytes
  std::size_t bytes_length = 0;
  Kind kind = Kind::Empty;
};

using Slots = std::array<Slot, kMaxBindingIndex + 1>;

struct Command {
  ComputePipelineStatePtr pipeline;
  Slots slots;  // only the pipeline's declared indices are copied
  Size threadgroups;
  Size threads;
  SharedEventPtr wait_event;  // set: not a dispatch but a wait for wait_value
  uint64_t wait_value = 0;
  uint32_t encoder = 0;  // which of the command buffer's encoders recorded it
  std::string fault;     // an encoding fault recorded at this point of the sequence
};

constexpr std::size_t kPooledRecordings = 8;
constexpr uint64_t kMaxThreadsPerThreadgroup = 1024;

}  // namespace

struct CommandBuffer::Recording {
  std::vector<Command> commands;
  DispatchSchedule schedule;  // storage reused from one run to the next
  uint32_t encoders = 0;  // opened so far
};

struct CommandQueue::Pool {
  std::mutex mutex;
  std::vector<std::unique_ptr<CommandBuffer::Recording>> free;

  std::unique_ptr<CommandBuffer::Recording> take() {
    std::lock_guard lock(mutex);
    if (free.empty()) return std::make_unique<CommandBuffer::Recording>();
    auto r = std::move(free.back());
    free.pop_back();
    return r;
  }
  // Releases everything the recording references and keeps its storage.
  void give_back(std::unique_ptr<CommandBuffer::Recording> r) {
    r->commands.clear();
    r->encoders = 0;
    std::lock_guard lock(mutex);
    if (free.size() < kPooledRecordings) free.push_back(std::move(r));
  }
};

struct ComputeCommandEncoder::State {
  ComputePipelineStatePtr pipeline;
  Slots slots;
};

std::string_view to_string(CommandBufferStatus status) {
  switch (status) {
    case CommandBufferStatus::NotEnqueued: return "NotEnqueued";
    case CommandBufferStatus::Enqueued: return "Enqueued";
    case CommandBufferStatus::Committed: return "Committed";
    case CommandBufferStatus::Scheduled: return "Scheduled";
    case CommandBufferStatus::Completed: return "Completed";
    case CommandBufferStatus::Error: return "Error";
  }
  return "?";
}

// ---------------------------------------------------------------------------

CommandQueue::CommandQueue(DevicePtr device) : device_(std::move(device)), pool_(std::make_unique<Pool>()) {}
CommandQueue::~CommandQueue() = default;

CommandBufferPtr CommandQueue::command_buffer() { return CommandBufferPtr(new CommandBuffer(shared_from_this())); }

// ---------------------------------------------------------------------------

CommandBuffer::CommandBuffer(std::shared_ptr<CommandQueue> queue)
    : queue_(std::move(queue)), recording_(queue_->pool_->take()) {}

CommandBuffer::~CommandBuffer() {
  // Dropped uncommitted: nothing runs, references are released.
  if (recording_) queue_->pool_->give_back(std::move(recording_));
}

ComputeCommandEncoderPtr CommandBuffer::compute_command_encoder() {
  if (encoder_open_) fail_encoding("compute_command_encoder: the previous encoder has not ended");
  encoder_open_ = true;
  if (recording_) ++recording_->encoders;
  return ComputeCommandEncoderPtr(new ComputeCommandEncoder(shared_from_this()));
}

std::size_t CommandBuffer::dispatch_count() const {
  if (!recording_) return 0;
  std::size_t n = 0;
  for (const Command& c : recording_->commands) n += c.wait_event ? 0 : 1;
  return n;
}

void CommandBuffer::encode_wait_for_event(const SharedEventPtr& event, uint64_t value) {
  if (!recording_) return fail_encoding("encode_wait_for_event: the command buffer was committed");
  if (encoder_open_) return fail_encoding("encode_wait_for_event: an encoder has not ended");
  if (!event) return fail_encoding("encode_wait_for_event: no event");
  Command& c = recording_->commands.emplace_back();
  c.wait_event = event;
  c.wait_value = value;
  c.encoder = recording_->encoders;  // its time counts towards the encoder that follows
}

std::vector<RecordedDispatch> CommandBuffer::recorded_dispatches() const {
  std::vector<RecordedDispatch> out;
  if (!recording_) return out;
  for (const Command& c : recording_->commands) {
    if (!c.pipeline) continue;  // an encoding fault, not a dispatch
    RecordedDispatch& d = out.emplace_back();
    d.kernel = c.pipeline->name();
    d.threadgroups = c.threadgroups;
    d.threads = c.threads;
    for (uint32_t i = 0; i < c.slots.size(); ++i) {
      const Slot& slot = c.slots[i];
      if (slot.kind == Slot::Kind::Buffer) d.buffers.push_back({i, slot.buffer, slot.offset});
      if (slot.kind == Slot::Kind::Bytes) d.constants.push_back({i, slot.bits});
    }
  }
  return out;
}

void CommandBuffer::fail_encoding(std::string message) {
  if (recording_) {
    Command& c = recording_->commands.emplace_back();
    c.fault = std::move(message);
    c.encoder = recording_->encoders == 0 ? 0 : recording_->encoders - 1;
  } else if (status_ == CommandBufferStatus::Completed) {
    // Encoding into a command buffer that has already run: the work is lost.
    status_ = CommandBufferStatus::Error;
    error_ = std::move(message);
  }
}

void CommandBuffer::commit() {
  if (status_ != CommandBufferStatus::NotEnqueued) {
    if (status_ == CommandBufferStatus::Completed) {
      status_ = CommandBufferStatus::Error;
      error_ = "commit: the command buffer was already committed";
    }
    return;
  }
  if (encoder_open_) fail_encoding("commit: an encoder has not ended");
  status_ = CommandBufferStatus::Committed;
  ++queue_->commits_;
  bool ok = run_all();
  queue_->pool_->give_back(std::move(recording_));
  status_ = ok ? CommandBufferStatus::Completed : CommandBufferStatus::Error;
}

void CommandBuffer::wait_until_completed() {
  // commit() runs to completion on the calling thread.
}

namespace {

std::size_t element_size(ElementType type) {
  switch (type) {
    case ElementType::Float:
    case ElementType::Uint:
    case ElementType::Int: return 4;
    case ElementType::Ushort: return 2;
    case ElementType::Char:
    case ElementType::Uchar: return 1;
  }
  return 1;
}

// nullopt when the dispatch fits its kernel's declaration; fills `args`.
std::optional<std::string> bind_arguments(const LinkedKernel& k, const Command& c, DispatchArgs& args) {
  const Size& tg = c.threadgroups;
  const Size& t = c.threads;
  for (uint64_t v : {tg.width, tg.height, tg.depth}) {
    if (v == 0 || v > UINT32_MAX) {
      return fmt::format("{}: threadgroups per grid ({}, {}, {}) must each be 1 to {}", k.name, tg.width, tg.height,
                         tg.depth, UINT32_MAX);
    }
  }
  if (t.width == 0 || t.height == 0 || t.depth == 0 || t.width > kMaxThreadsPerThreadgroup ||
      t.height > kMaxThreadsPerThreadgroup || t.depth > kMaxThreadsPerThreadgroup ||
      t.width * t.height * t.depth > kMaxThreadsPerThreadgroup) {
    return fmt::format("{}: threads per threadgroup ({}, {}, {}) must be at least 1 each and {} in all", k.name,
                       t.width, t.height, t.depth, kMaxThreadsPerThreadgroup);
  }
  args.grid.threadgroups = {static_cast<uint32_t>(tg.width), static_cast<uint32_t>(tg.height),
                            static_cast<uint32_t>(tg.depth)};
  args.grid.threads_per_threadgroup = {static_cast<uint32_t>(t.width), static_cast<uint32_t>(t.height),
                                       static_cast<uint32_t>(t.depth)};
  for (const KernelParam& p : k.params) {
    const Slot& s = c.slots[p.index];
    if (p.kind == ParamKind::Buffer) {
      if (s.kind == Slot::Kind::Empty) return fmt::format("{}: buffer {} ({}) is not bound", k.name, p.index, p.name);
      if (s.kind == Slot::Kind::Bytes) {
        return fmt::format("{}: buffer {} ({}) is set with bytes, not bound to a buffer", k.name, p.index, p.name);
      }
      const Buffer& b = *s.buffer;
      if (s.offset >= b.length()) {
        return fmt::format("{}: buffer {} ({}) is bound at offset {}, outside its buffer of {} bytes", k.name,
                           p.index, p.name, s.offset, b.length());
      }
      const auto address = reinterpret_cast<uintptr_t>(b.contents()) + s.offset;
      if (address % element_size(p.type) != 0) {
        return fmt::format("{}: buffer {} ({}) is bound at offset {}, not aligned to its {}-byte elements", k.name,
                           p.index, p.name, s.offset, element_size(p.type));
      }
      if (p.writable && b.read_only()) {
        return fmt::format("{}: buffer {} ({}) is written by the kernel but bound to a read-only buffer", k.name,
                           p.index, p.name);
      }
      args.buffers[p.index] = BoundBuffer{static_cast<std::byte*>(b.contents()) + s.offset, b.length() - s.offset};
    } else {
      if (s.kind == Slot::Kind::Empty) return fmt::format("{}: constant {} ({}) is not set", k.name, p.index, p.name);
      if (s.kind == Slot::Kind::Buffer) {
        return fmt::format("{}: constant {} ({}) is bound to a buffer, not set with 4 bytes", k.name, p.index, p.name);
      }
      if (s.bytes_length != 4) {
        return fmt::format("{}: constant {} ({}) is set with {} bytes, expected 4", k.name, p.index, p.name,
                           s.bytes_length);
      }
      args.constants[p.index] = s.bits;
    }
  }
  return std::nullopt;
}

}  // namespace

// Dispatches are checked as they come and gathered into a schedule that runs
// independent ones side by side; the schedule runs before a wait that is not
// yet satisfied, before a faulty command and at the end, so nothing after a
// wait starts before it and nothing after a fault runs at all.
bool CommandBuffer::run_all() {
  const auto& commands = recording_->commands;
  DispatchSchedule& schedule = recording_->schedule;
  encoder_ms_.assign(recording_->encoders, 0.0);
  event_wait_ms_ = 0;
  auto mark = std::chrono::steady_clock::now();
  uint32_t timed = 0;  // the encoder whose dispatches run since `mark`
  auto account = [&](uint32_t next) {
    const auto now = std::chrono::steady_clock::now();
    if (timed < encoder_ms_.size()) encoder_ms_[timed] += std::chrono::duration<double, std::milli>(now - mark).count();
    mark = now;
    timed = next;
  };
  auto run_schedule = [&] {
    if (!schedule.empty()) schedule.run([&](uint32_t encoder) {
        if (encoder != timed) account(encoder);
      });
  };
  DispatchArgs args;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const Command& c = commands[i];
    std::optional<std::string> problem;
    if (c.wait_event) {
      const SharedEvent& event = *c.wait_event;
      const uint64_t value = c.wait_value;
      if (event.signaled_value() >= value) continue;
      run_schedule();
      if (c.encoder != timed) account(c.encoder);
      const auto waited_from = std::chrono::steady_clock::now();
      wait_running_tasks([&] { return event.signaled_value() >= value; });
      event_wait_ms_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - waited_from).count();
      continue;
    }
    if (!c.fault.empty()) {
      problem = c.fault;
    } else if (!c.pipeline) {
      problem = std::string("dispatch_threadgroups: no compute pipeline state is set");
    } else {
      const LinkedKernel& k = *c.pipeline->linked_;
      args = DispatchArgs{};
      problem = bind_arguments(k, c, args);
      if (!problem && k.validate) problem = k.validate(args);
      if (!problem) {
        schedule.add(k, args, c.encoder);
        continue;
      }
    }
    run_schedule();
    error_ = fmt::format("{} (command {} of {})", *problem, i + 1, commands.size());
    account(timed);
    return false;
  }
  run_schedule();
  account(timed);
  return true;
}

// ---------------------------------------------------------------------------

ComputeCommandEncoder::ComputeCommandEncoder(std::shared_ptr<CommandBuffer> owner)
    : owner_(std::move(owner)), state_(std::make_unique<State>()) {}

ComputeCommandEncoder::~ComputeCommandEncoder() = default;

void ComputeCommandEncoder::set_compute_pipeline_state(const ComputePipelineStatePtr& pipeline) {
  if (ended_) return owner_->fail_encoding("set_compute_pipeline_state: the encoder has ended");
  state_->pipeline = pipeline;
}

void ComputeCommandEncoder::set_buffer(const BufferPtr& buffer, uint64_t offset, uint32_t index) {
  if (ended_) return owner_->fail_encoding("set_buffer: the encoder has ended");
  if (index > kMaxBindingIndex) {
    return owner_->fail_encoding(fmt::format("set_buffer: index {} is outside 0..{}", index, kMaxBindingIndex));
  }
  Slot& s = state_->slots[index];
  s.buffer = buffer;
  s.offset = offset;
  s.bytes_length = 0;
  s.kind = buffer ? Slot::Kind::Buffer : Slot::Kind::Empty;
}

void ComputeCommandEncoder::set_bytes(const void* bytes, std::size_t length, uint32_t index) {
  if (ended_) return owner_->fail_encoding("set_bytes: the encoder has ended");
  if (index > kMaxBindingIndex) {
    return owner_->fail_encoding(fmt::format("set_bytes: index {} is outside 0..{}", index, kMaxBindingIndex));
  }
  if (bytes == nullptr && length > 0) return owner_->fail_encoding("set_bytes: null pointer");
  Slot& s = state_->slots[index];
  s.buffer.reset();
  s.offset = 0;
  s.bits = 0;
  if (length > 0) std::memcpy(&s.bits, bytes, length < 4 ? length : 4);
  s.bytes_length = length;
  s.kind = Slot::Kind::Bytes;
}

void ComputeCommandEncoder::dispatch_threadgroups(Size threadgroups_per_grid, Size threads_per_threadgroup) {
  if (ended_) return owner_->fail_encoding("dispatch_threadgroups: the encoder has ended");
  auto* recording = owner_->recording_.get();
  if (recording == nullptr) return owner_->fail_encoding("dispatch_threadgroups: the command buffer was committed");
  Command& c = recording->commands.emplace_back();
  c.encoder = recording->encoders - 1;
  c.pipeline = state_->pipeline;
  c.threadgroups = threadgroups_per_grid;
  c.threads = threads_per_threadgroup;
  if (c.pipeline) {
    for (const KernelParam& p : c.pipeline->linked_->params) c.slots[p.index] = state_->slots[p.index];
  }
}

void ComputeCommandEncoder::end_encoding() {
  if (ended_) return;
  ended_ = true;
  owner_->encoder_open_ = false;
  state_.reset();  // drop the encoder's own references
}

}  // namespace varkel::metal
