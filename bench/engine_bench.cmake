# Engine construction, cache transfer and mat-vec encoding costs.
add_executable(engine_bench engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE varkel_engine varkel_model varkel_cache varkel_test_support fmt::fmt)
target_include_directories(engine_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests/cpp)
