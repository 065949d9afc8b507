#pragma once
// The interface the Python module drives an inference engine through, and the
// owning handle that picks one of the four engine types at construction.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error/moe_error.h"

namespace varkel {

class Cache;
class Model;
class ModelConfig;

// A telemetry value: milliseconds (the only kind the engines record), or a
// list of numbers.
struct TelemetryValue {
  std::variant<double, std::vector<double>> value;

  static TelemetryValue scalar(double ms) { return TelemetryValue{ms}; }
  static TelemetryValue list(std::vector<double> values) { return TelemetryValue{std::move(values)}; }
  bool is_scalar() const { return std::holds_alternative<double>(value); }
  bool operator==(const TelemetryValue&) const = default;
};

// Keyed by name, ordered by key (byte-wise).
using TelemetryMap = std::map<std::string, TelemetryValue, std::less<>>;

// Polled before every layer of a forward pass; true stops the pass.
using InterruptFn = std::function<bool()>;

class Engine {
 public:
  virtual ~Engine() = default;

  // Copies a host cache into the GPU state; changes nothing on error.
  virtual Status upload_cache(const Cache& cache) = 0;
  // Copies the GPU state back into a host cache; changes nothing on error.
  virtual Status download_cache(Cache& cache) = 0;
  // Fills 2048 floats of `out` per id, in order.
  virtual Status embed_lookup(std::span<const int64_t> ids, std::span<float> out) const = 0;
  // Embeddings (2048 floats per token) to logits (vocabulary floats per token).
  virtual Result<std::vector<float>> forward_hidden(std::span<const float> embeddings,
                                                    const InterruptFn& interrupt) = 0;
  // A copy of the engine's cumulative telemetry.
  virtual TelemetryMap telemetry() const = 0;
};

// Owns exactly one engine, chosen by pipeline mode and the model's first
// architecture, never replaced.
class DynEngine {
 public:
  // Modes "Qwen35MoEFusedExp1" and "Qwen35MoEFusedExp2"; k = 0 means the
  // constant set's default.
  static Result<DynEngine> create(std::string_view pipeline_mode, std::shared_ptr<const Model> model, std::size_t k);
  // The same with another shader library source in place of the embedded one.
  static Result<DynEngine> create(std::string_view pipeline_mode, std::shared_ptr<const Model> model, std::size_t k,
                                  std::string_view shader_source);

  explicit DynEngine(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}

  Engine& engine() { return *engine_; }
  const Engine& engine() const { return *engine_; }
  Engine* operator->() { return engine_.get(); }
  const Engine* operator->() const { return engine_.get(); }

 private:
  std::unique_ptr<Engine> engine_;
};

// The first "architectures" entry when it is a string, else empty.
std::string first_architecture(const ModelConfig& config);

}  // namespace varkel
