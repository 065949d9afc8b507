#pragma once
// The native values behind the module's Python classes, each confined to the
// thread that created it.

#include <memory>

#include "cache/cache.h"
#include "engine/engine.h"
#include "hf_util/hf_repo.h"
#include "model/model.h"
#include "python_bindings/confined.h"

namespace varkel::python {

struct PyModel : Confined {
  explicit PyModel(std::shared_ptr<const Model> model)
      : Confined("_varkel::python_bindings::Model"), model(std::move(model)) {}
  const Model& get() const { return *model; }
  std::shared_ptr<const Model> model;
};

struct PyCache : Confined {
  explicit PyCache(Cache cache) : Confined("_varkel::python_bindings::Cache"), cache(std::move(cache)) {}
  Cache cache;
};

struct PyEngine : Confined {
  PyEngine(DynEngine engine, std::shared_ptr<const Model> model)
      : Confined("_varkel::python_bindings::Engine"), engine(std::move(engine)), model(std::move(model)) {}
  DynEngine engine;
  std::shared_ptr<const Model> model;
  TelemetryMap last_telemetry;  // of the last successful pass
};

struct PyHfRepo : Confined {
  explicit PyHfRepo(HfRepo repo) : Confined("_varkel::python_bindings::PyHfRepo"), repo(std::move(repo)) {}
  HfRepo repo;
};

}  // namespace varkel::python
