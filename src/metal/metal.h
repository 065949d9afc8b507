#pragma once
// The compute layer the engine runs on: device, queue, shader library,
// pipelines, buffers, command buffers and compute encoders, shaped after the
// Metal objects the engine uses. Kernels run on the CPU (kernels/).
//
// Objects are reference-counted through std::shared_ptr; an owner releases an
// object by dropping its pointer. A command buffer holds references to every
// pipeline and buffer its dispatches use until it has completed (or is
// dropped uncommitted), so callers may release theirs right after encoding.
//
// Execution model: dispatches are recorded in encoding order and run when
// the command buffer is committed, with the results of that order: a dispatch
// starts only after every earlier one that writes bytes it reads or writes,
// or reads bytes it writes, and dispatches without such a hazard run side by
// side (dispatch_schedule.h). An event wait holds back everything encoded
// after it. commit() does the work on the calling thread and the worker pool,
// so a command buffer is Completed or Error when commit() returns and
// wait_until_completed() returns at once.
//
// Every dispatch is checked against its kernel's declaration before it runs:
// each declared buffer bound inside its buffer, each declared constant set
// with exactly 4 bytes, a sane grid, and then the kernel's own limits. The
// first violation puts the command buffer in status Error with a one-line
// error text; that dispatch and every later one do not run.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varkel::metal {

class Buffer;
class CommandBuffer;
class CommandQueue;
class ComputeCommandEncoder;
class ComputePipelineState;
class Device;
class Function;
class Library;
class SharedEvent;
struct LinkedKernel;     // a declaration bound to its implementation (linked_kernel.h)
struct LibraryContents;  // compiled declarations (library.cpp)

using BufferPtr = std::shared_ptr<Buffer>;
using CommandBufferPtr = std::shared_ptr<CommandBuffer>;
using CommandQueuePtr = std::shared_ptr<CommandQueue>;
using ComputeCommandEncoderPtr = std::shared_ptr<ComputeCommandEncoder>;
using ComputePipelineStatePtr = std::shared_ptr<ComputePipelineState>;
using DevicePtr = std::shared_ptr<Device>;
using FunctionPtr = std::shared_ptr<Function>;
using LibraryPtr = std::shared_ptr<Library>;
using SharedEventPtr = std::shared_ptr<SharedEvent>;

// Resource options of a buffer. Every buffer is shared storage (CPU and
// kernels see the same bytes); the value is recorded, not interpreted.
using ResourceOptions = uint64_t;
inline constexpr ResourceOptions kResourceStorageModeShared = 0;

// Grid and threadgroup extents (MTLSize).
struct Size {
  uint64_t width = 1;
  uint64_t height = 1;
  uint64_t depth = 1;
};

struct CompileOptions {
  bool fast_math = true;
  std::string language_version = "3.1";
};

// ---------------------------------------------------------------------------

class Buffer {
 public:
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // CPU address of the first byte (64-byte aligned for buffers the device
  // allocated; the caller's pointer for a no-copy buffer).
  void* contents() const { return data_; }
  std::size_t length() const { return length_; }
  ResourceOptions options() const { return options_; }
  // True for a no-copy buffer made over read-only memory: kernels may not
  // bind it for writing.
  bool read_only() const { return read_only_; }
  bool owns_memory() const { return owned_; }

 private:
  friend class Device;
  Buffer(void* data, std::size_t length, ResourceOptions options, bool owned, bool read_only, bool mapped);

  void* data_;
  std::size_t length_;
  ResourceOptions options_;
  bool owned_;
  bool read_only_;
  bool mapped_;  // owned memory came from an anonymous mapping (large buffers)
};

// One kernel of a compiled library.
class Function {
 public:
  const std::string& name() const;

 private:
  friend class Library;
  friend class Device;
  explicit Function(std::shared_ptr<const LinkedKernel> linked) : linked_(std::move(linked)) {}
  std::shared_ptr<const LinkedKernel> linked_;
};

class ComputePipelineState {
 public:
  const std::string& name() const;
  uint32_t max_total_threads_per_threadgroup() const { return 1024; }
  uint32_t thread_execution_width() const { return 32; }

 private:
  friend class Device;
  friend class CommandBuffer;
  friend class ComputeCommandEncoder;
  explicit ComputePipelineState(std::shared_ptr<const LinkedKernel> linked) : linked_(std::move(linked)) {}
  std::shared_ptr<const LinkedKernel> linked_;
};

class Library {
 public:
  // The kernel `name`, or the reason it is absent
  // ("Function foo was not found in the library").
  std::expected<FunctionPtr, std::string> new_function(std::string_view name) const;
  // Declared kernel names in source order.
  std::vector<std::string> function_names() const;
  // A shared `constant <type> NAME = <integer>;` definition of the source.
  std::optional<int64_t> constant_value(std::string_view name) const;
  const CompileOptions& options() const { return options_; }

 private:
  friend class Device;
  Library(std::shared_ptr<const LibraryContents> contents, CompileOptions options)
      : contents_(std::move(contents)), options_(std::move(options)) {}
  std::shared_ptr<const LibraryContents> contents_;
  CompileOptions options_;
};

// A counter that command buffers wait on and the CPU signals (MTLSharedEvent):
// a command buffer that reaches a wait for value v runs on once the signaled
// value is at least v. Signals may come from any thread.
class SharedEvent {
 public:
  uint64_t signaled_value() const { return value_.load(std::memory_order_acquire); }
  // Publishes everything the signalling thread wrote before it.
  void set_signaled_value(uint64_t value) { value_.store(value, std::memory_order_release); }

 private:
  friend class Device;
  SharedEvent() = default;
  std::atomic<uint64_t> value_{0};
};

enum class CommandBufferStatus : uint8_t { NotEnqueued, Enqueued, Committed, Scheduled, Completed, Error };

// Text of a status ("NotEnqueued", "Completed", ...).
std::string_view to_string(CommandBufferStatus status);

class ComputeCommandEncoder {
 public:
  ~ComputeCommandEncoder();
  ComputeCommandEncoder(const ComputeCommandEncoder&) = delete;
  ComputeCommandEncoder& operator=(const ComputeCommandEncoder&) = delete;

  void set_compute_pipeline_state(const ComputePipelineStatePtr& pipeline);
  // Binds `buffer` from byte `offset` at argument index `index`; a null
  // buffer unbinds the index.
  void set_buffer(const BufferPtr& buffer, uint64_t offset, uint32_t index);
  // Copies `length` bytes inline as the argument at `index`. Kernel constants
  // take exactly 4 bytes.
  void set_bytes(const void* bytes, std::size_t length, uint32_t index);
  // Records one dispatch of the current pipeline with the current arguments.
  void dispatch_threadgroups(Size threadgroups_per_grid, Size threads_per_threadgroup);
  void end_encoding();

 private:
  friend class CommandBuffer;
  struct State;
  explicit ComputeCommandEncoder(std::shared_ptr<CommandBuffer> owner);
  std::shared_ptr<CommandBuffer> owner_;
  std::unique_ptr<State> state_;
  bool ended_ = false;
};

// One dispatch as it was encoded: what a caller can check before committing.
struct RecordedDispatch {
  struct Binding {
    uint32_t index;
    BufferPtr buffer;
    uint64_t offset;
  };
  struct Constant {
    uint32_t index;
    uint32_t bits;  // the 4 bytes set inline
  };
  std::string kernel;
  std::vector<Binding> buffers;      // ascending index
  std::vector<Constant> constants;   // ascending index
  Size threadgroups;
  Size threads;
};

class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
 public:
  ~CommandBuffer();
  CommandBuffer(const CommandBuffer&) = delete;
  CommandBuffer& operator=(const CommandBuffer&) = delete;

  // A new encoder appending to this command buffer. The previous encoder must
  // have ended; otherwise the command buffer fails at commit.
  ComputeCommandEncoderPtr compute_command_encoder();
  // Makes the commands encoded after this wait until `event` has reached
  // `value`. Only between encoders. While it waits, the committing thread
  // runs the worker pool's waiting tasks.
  void encode_wait_for_event(const SharedEventPtr& event, uint64_t value);
  // Runs every recorded dispatch in order (see the top of this file). A second
  // commit is refused (the command buffer goes to Error if it had not run).
  void commit();
  void wait_until_completed();
  CommandBufferStatus status() const { return status_; }
  // Empty unless status() is Error.
  const std::string& error() const { return error_; }
  // Dispatches recorded so far (all encoders).
  std::size_t dispatch_count() const;
  // Those dispatches in order, with their declared arguments; empty once run.
  std::vector<RecordedDispatch> recorded_dispatches() const;
  // Once run: wall-clock milliseconds each encoder's dispatches took, in
  // encoder order (what GPU timestamp counters give per encoder).
  const std::vector<double>& encoder_times_ms() const { return encoder_ms_; }
  // Once run: of that, milliseconds spent in event waits.
  double event_wait_ms() const { return event_wait_ms_; }

 private:
  friend class CommandQueue;
  friend class ComputeCommandEncoder;
  struct Recording;
  explicit CommandBuffer(std::shared_ptr<CommandQueue> queue);
  void fail_encoding(std::string message);  // first encoding fault wins
  bool run_all();                           // false: error_ set

  std::shared_ptr<CommandQueue> queue_;
  std::unique_ptr<Recording> recording_;
  CommandBufferStatus status_ = CommandBufferStatus::NotEnqueued;
  std::string error_;
  std::string encoding_error_;
  std::vector<double> encoder_ms_;
  double event_wait_ms_ = 0;
  bool encoder_open_ = false;
};

class CommandQueue : public std::enable_shared_from_this<CommandQueue> {
 public:
  ~CommandQueue();
  CommandQueue(const CommandQueue&) = delete;
  CommandQueue& operator=(const CommandQueue&) = delete;

  CommandBufferPtr command_buffer();
  const DevicePtr& device() const { return device_; }
  // Command buffers of this queue committed so far (each submission once).
  std::size_t commit_count() const { return commits_; }

 private:
  friend class Device;
  friend class CommandBuffer;
  struct Pool;
  explicit CommandQueue(DevicePtr device);
  DevicePtr device_;
  std::unique_ptr<Pool> pool_;  // recycled dispatch storage of finished command buffers
  std::size_t commits_ = 0;
};

class Device : public std::enable_shared_from_this<Device> {
 public:
  // The system default device (this machine's CPU), or nullptr when none.
  static DevicePtr system_default();

  const std::string& name() const { return name_; }
  bool has_unified_memory() const { return true; }
  // Largest length new_buffer accepts.
  uint64_t max_buffer_length() const { return max_buffer_length_; }

  CommandQueuePtr new_command_queue();
  SharedEventPtr new_shared_event();

  // Compiles library source text: parses the kernel declarations and links
  // each to its implementation. The error is the compiler's diagnostic text,
  // "program_source:<line>:<column>: error: <what>".
  std::expected<LibraryPtr, std::string> new_library_with_source(std::string_view source,
                                                                 const CompileOptions& options);
  std::expected<ComputePipelineStatePtr, std::string> new_compute_pipeline_state(const FunctionPtr& function);

  // A zero-filled, 64-byte aligned buffer of `length` bytes (length 1 ..
  // max_buffer_length()), or why not.
  std::expected<BufferPtr, std::string> new_buffer(std::size_t length, ResourceOptions options = 0);
  // A buffer over caller memory, without copying; the memory must outlive
  // the buffer. The const overload makes a read-only buffer.
  std::expected<BufferPtr, std::string> new_buffer_no_copy(void* pointer, std::size_t length,
                                                           ResourceOptions options = 0);
  std::expected<BufferPtr, std::string> new_buffer_no_copy(const void* pointer, std::size_t length,
                                                           ResourceOptions options = 0);

 private:
  Device(std::string name, uint64_t max_buffer_length);
  std::string name_;
  uint64_t max_buffer_length_;
};

// Scope of an autorelease pool. Objects here are released by their owners,
// so the pool has nothing to drain; it exists so code keeps Metal's shape.
class AutoreleasePool {
 public:
  AutoreleasePool();
  ~AutoreleasePool();
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;
  // Pools open on this thread.
  static int depth();
};

}  // namespace varkel::metal
