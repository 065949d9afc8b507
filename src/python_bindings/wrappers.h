#pragma once
// The native values behind the module's Python classes. Each is confined to
// its creating thread; dropped elsewhere, its native value is leaked rather
// than freed on a thread it was never meant to see.

#include <memory>

#include "cache/cache.h"
#include "engine/engine.h"
#include "model/model.h"
#include "python_bindings/confined.h"

namespace varkel::python {

struct PyModel : Confined {
  explicit PyModel(std::shared_ptr<const Model> model)
      : Confined("_varkel::python_bindings::Model"), model(std::make_unique<std::shared_ptr<const Model>>(std::move(model))) {}
  ~PyModel();
  const Model& get() const { return **model; }
  std::unique_ptr<std::shared_ptr<const Model>> model;
};

struct PyCache : Confined {
  explicit PyCache(Cache cache)
      : Confined("_varkel::python_bindings::Cache"), cache(std::make_unique<Cache>(std::move(cache))) {}
  ~PyCache();
  std::unique_ptr<Cache> cache;
};

struct PyEngine : Confined {
  PyEngine(DynEngine engine, std::shared_ptr<const Model> model);
  ~PyEngine();
  struct Native {
    DynEngine engine;
    std::shared_ptr<const Model> model;
    TelemetryMap last_telemetry;
  };
  std::unique_ptr<Native> native;
};

}  // namespace varkel::python
