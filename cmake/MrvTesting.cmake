# Helpers for unit tests and benchmarks. Tests live beside the library they
# check; their executables go to build/tests so that build/bin stays the clean
# program directory of a title.
if(MRV_TESTS STREQUAL "AUTO")
  find_package(GTest QUIET)
  set(MRV_TESTS ${GTest_FOUND})
  if(NOT MRV_TESTS)
    message(STATUS "GoogleTest not found: tests are not built")
  endif()
elseif(MRV_TESTS)
  find_package(GTest REQUIRED)
endif()
if(MRV_TESTS)
  enable_testing()
  include(GoogleTest)
endif()
if(MRV_BENCHMARKS)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: benchmarks are not built")
    set(MRV_BENCHMARKS OFF)
  endif()
endif()

if(MRV_FUZZ)
  add_custom_target(fuzzers)  # every fuzz target (tools/run-fuzzers.sh runs them)
endif()

# mrv_add_test(NAME SOURCES src... LIBS lib...)
function(mrv_add_test name)
  if(NOT MRV_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${CMAKE_SOURCE_DIR}/testsupport/isolation.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    BUILD_RPATH "${MRV_BIN_DIR}")
  # Hermetic runs: each test program gets its own Windows directory, runtime
  # directory, temporary directory and the default country, all inside the
  # build tree, so no test reads or writes the developer's home or /tmp; and
  # each of its processes (each test case) a fresh directory inside each
  # (testsupport/isolation.cpp). Tests run headless even on a desktop; those
  # that want a display start an X server of their own.
  set(scratch ${CMAKE_BINARY_DIR}/scratch/${name})
  file(MAKE_DIRECTORY ${scratch}/win ${scratch}/run ${scratch}/tmp)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    PROPERTIES ENVIRONMENT
      "MRV_TEST_BIN_DIR=${MRV_BIN_DIR};MRV_TEST_SOURCE_DIR=${CMAKE_SOURCE_DIR};MRV_WINDIR=${scratch}/win;MRV_RUNTIME_DIR=${scratch}/run;MRV_COUNTRY=81;TMPDIR=${scratch}/tmp;MRV_BACKEND=headless")
endfunction()

# mrv_add_benchmark(NAME SOURCES src... LIBS lib...)
function(mrv_add_benchmark name)
  if(NOT MRV_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench
    BUILD_RPATH "${MRV_BIN_DIR}")
endfunction()

# mrv_add_fuzzer(NAME SOURCES src... LIBS lib...): a libFuzzer target in
# build/fuzz; its seed corpus is fuzz/corpus/<NAME without library prefix and
# _fuzz> beside its source.
function(mrv_add_fuzzer name)
  if(NOT MRV_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/testsupport)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz
    BUILD_RPATH "${MRV_BIN_DIR}")
  add_dependencies(fuzzers ${name})
endfunction()

# mrv_library(NAME [SHARED|MODULE] LIBS ...): a library of every .cpp in its
# directory, with one test executable per tests/*_test.cpp and one benchmark
# per bench/*_bench.cpp, and with MRV_FUZZ one fuzz target per fuzz/*_fuzz.cpp.
function(mrv_library name kind)
  cmake_parse_arguments(L "" "" "PUBLIC_LIBS;PRIVATE_LIBS;TEST_LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} ${kind} ${srcs})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
  # A module cannot be linked: its tests load it at run time, so they only
  # need it built.
  set(self ${name})
  if(kind STREQUAL "MODULE")
    set(self "")
  endif()
  foreach(t ${tests})
    get_filename_component(tn ${t} NAME_WE)
    mrv_add_test(${name}_${tn} SOURCES ${t} LIBS ${self} ${L_PRIVATE_LIBS} ${L_TEST_LIBS})
    if(TARGET ${name}_${tn} AND kind STREQUAL "MODULE")
      add_dependencies(${name}_${tn} ${name})
    endif()
    if(TARGET ${name}_${tn})
      target_include_directories(${name}_${tn} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                                 ${CMAKE_SOURCE_DIR}/testsupport)
    endif()
  endforeach()
  file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/*_fuzz.cpp)
  if(MRV_FUZZ AND fuzzers)
    # The fuzz targets hold the library's code themselves, so that they can
    # reach its internal state (to put it back between inputs).
    add_library(${name}_fuzzcode OBJECT ${srcs})
    target_include_directories(${name}_fuzzcode PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
                               ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_link_libraries(${name}_fuzzcode PUBLIC ${L_PUBLIC_LIBS} ${L_PRIVATE_LIBS})
    foreach(f ${fuzzers})
      get_filename_component(fn ${f} NAME_WE)
      mrv_add_fuzzer(${name}_${fn} SOURCES ${f} LIBS ${name}_fuzzcode)
    endforeach()
  endif()
  file(GLOB benches CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*_bench.cpp)
  foreach(b ${benches})
    get_filename_component(bn ${b} NAME_WE)
    mrv_add_benchmark(${name}_${bn} SOURCES ${b} LIBS ${name} ${L_PRIVATE_LIBS} ${L_TEST_LIBS})
    if(TARGET ${name}_${bn})
      target_include_directories(${name}_${bn} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                                 ${CMAKE_SOURCE_DIR}/testsupport)
    endif()
  endforeach()
endfunction()
