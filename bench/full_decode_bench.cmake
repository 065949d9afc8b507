# Decode speed of both engines over synthetic FullModel directories (bq4 and
# int4, about 20 GB, written once under .cache/bench/), per k and thread count.
add_executable(full_decode_bench full_decode_bench.cpp decode_run.cpp bandwidth_probe.cpp disk_read_probe.cpp
               memory_cgroup.cpp)
target_link_libraries(full_decode_bench PRIVATE varkel_engine varkel_model varkel_test_support hwy::hwy
                      fmt::fmt)
target_include_directories(full_decode_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench
                           ${PROJECT_SOURCE_DIR}/tests/cpp)
target_compile_definitions(full_decode_bench PRIVATE VARKEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
# io_uring is only compared in the capped run, where liburing is installed.
find_path(LIBURING_INCLUDE liburing.h)
find_library(LIBURING_LIBRARY uring)
if(LIBURING_INCLUDE AND LIBURING_LIBRARY)
  target_compile_definitions(full_decode_bench PRIVATE VARKEL_HAVE_LIBURING)
  target_include_directories(full_decode_bench PRIVATE ${LIBURING_INCLUDE})
  target_link_libraries(full_decode_bench PRIVATE ${LIBURING_LIBRARY})
endif()
