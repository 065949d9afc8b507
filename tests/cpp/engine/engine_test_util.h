#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/test_files.h"
#include "engine/qwen35_moe/embedded_shader.h"
#include "model/model.h"
#include "support/test_model_writer.h"

namespace varkel::engine_test {


inline test_support::TestModelOptions bare_stripped_options() {
  test_support::TestModelOptions options;
  options.write_weights = false;
  options.empty_experts = true;
  return options;
}

// The directory is gone once the model is loaded: its files stay open and mapped.
inline std::shared_ptr<const Model> write_and_load(const test_support::TestModelOptions& options) {
  const testing_support::ScratchDir dir;
  test_support::write_test_model(dir.path(), options);
  testing::internal::CaptureStderr();
  auto model = Model::load_shared(dir.path().string());
  testing::internal::GetCapturedStderr();
  if (!model) ADD_FAILURE() << "loading " << dir.path() << ": " << model.error().to_string();
  return model ? *model : nullptr;
}

inline std::string source_without_kernel(std::string_view name) {
  std::string source(embedded_shader_source());
  const std::string head = "kernel void " + std::string(name) + "(";
  const std::size_t at = source.find(head);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no kernel " << name << " in the shader source";
    return source;
  }
  const std::size_t end = source.find(");", at);
  source.erase(at, end + 2 - at);
  return source;
}

}  // namespace varkel::engine_test
