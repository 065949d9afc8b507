# Tokens per second of both engines over a synthetic StrippedModel directory,
# against the memory-read probe of the same run.
add_executable(decode_bench decode_bench.cpp decode_run.cpp bandwidth_probe.cpp)
target_link_libraries(decode_bench PRIVATE varkel_engine varkel_model varkel_test_support hwy::hwy
                      fmt::fmt)
target_include_directories(decode_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench
                           ${PROJECT_SOURCE_DIR}/tests/cpp)
