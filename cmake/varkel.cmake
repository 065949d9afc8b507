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
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(test_${name} PRIVATE VARKEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  include(GoogleTest)
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 600)
endfunction()
