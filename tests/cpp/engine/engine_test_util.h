#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/qwen35_moe/embedded_shader.h"
#include "model/model.h"
#include "support/test_model_writer.h"

namespace varkel::engine_test {

inline std::filesystem::path fresh_dir(std::string_view name) {
  auto dir = std::filesystem::path(testing::TempDir()) / ("varkel_engine_" + std::string(name) + "_" +
                                                          std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline test_support::TestModelOptions bare_stripped_options() {
  test_support::TestModelOptions options;
  options.write_weights = false;
  options.empty_experts = true;
  return options;
}

inline std::shared_ptr<const Model> write_and_load(std::string_view name, const test_support::TestModelOptions& options) {
  const auto dir = fresh_dir(name);
  test_support::write_test_model(dir, options);
  testing::internal::CaptureStderr();
  auto model = Model::load_shared(dir.string());
  testing::internal::GetCapturedStderr();
  if (!model) ADD_FAILURE() << "loading " << dir << ": " << model.error().to_string();
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
