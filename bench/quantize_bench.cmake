# Conversion throughput of the offline quantizer on a synthetic checkpoint.
add_executable(quantize_bench quantize_bench.cpp ${PROJECT_SOURCE_DIR}/tests/cpp/quantize/synthetic_checkpoint.cpp)
target_link_libraries(quantize_bench PRIVATE varkel_quantize fmt::fmt)
target_include_directories(quantize_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests/cpp)
