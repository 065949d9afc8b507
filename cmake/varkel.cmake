# varkel_component(<name> [DEPS targets...])
# A static library varkel_<name> from every .cpp below the calling directory.
function(varkel_component name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(varkel_${name} STATIC ${sources})
  target_include_directories(varkel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(varkel_${name} PUBLIC ${ARG_DEPS})
endfunction()

# varkel_test(<name> [DEPS targets...])
# A GoogleTest executable test_<name> from every .cpp in the calling directory,
# registered with CTest one case at a time.
function(varkel_test name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(test_${name} ${sources})
  target_include_directories(test_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests/cpp)
  # Every test links what the precompiled header was built with (fmt defines
  # FMT_SHARED): a header built with other macros than its users is not used.
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main fmt::fmt
                        nlohmann_json::nlohmann_json)
  target_compile_definitions(test_${name} PRIVATE VARKEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # GoogleTest and the JSON library dominate the tests' compile time: one
  # precompiled header serves every test executable.
  if(NOT TARGET varkel_test_pch)
    # An executable, so that its code-model flags (-fPIE) match the tests'.
    file(WRITE ${PROJECT_BINARY_DIR}/test_pch.cpp "int main() { return 0; }\n")
    add_executable(varkel_test_pch ${PROJECT_BINARY_DIR}/test_pch.cpp)
    target_link_libraries(varkel_test_pch PRIVATE GTest::gtest nlohmann_json::nlohmann_json fmt::fmt)
    target_compile_definitions(varkel_test_pch PRIVATE VARKEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    target_precompile_headers(varkel_test_pch PRIVATE <gtest/gtest.h> <nlohmann/json.hpp> <fmt/format.h>
                              <algorithm> <filesystem> <map> <string> <vector>)
  endif()
  target_precompile_headers(test_${name} REUSE_FROM varkel_test_pch)
  include(GoogleTest)
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 600)
endfunction()
