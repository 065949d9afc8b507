# Attention and delta-net state traffic against the memory-read probe.
add_executable(attention_bench attention_bench.cpp bandwidth_probe.cpp)
target_link_libraries(attention_bench PRIVATE varkel_engine varkel_metal hwy::hwy fmt::fmt)
target_include_directories(attention_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench)
