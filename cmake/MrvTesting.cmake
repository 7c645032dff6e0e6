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
  # Linked into every test program: its own environment inside the build tree
  # (testsupport/isolation.cpp). Only this code knows the build's paths, so
  # that the test sources compile alike in every build tree.
  add_library(mrv_test_isolation OBJECT ${CMAKE_SOURCE_DIR}/testsupport/isolation.cpp)
  target_compile_definitions(mrv_test_isolation PRIVATE
    MRV_TEST_SCRATCH="${CMAKE_BINARY_DIR}/scratch"
    MRV_TEST_BIN_DIR_DEFAULT="${MRV_BIN_DIR}"
    MRV_TEST_SOURCE_DIR_DEFAULT="${CMAKE_SOURCE_DIR}")
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
  add_executable(${name} ${T_SOURCES} $<TARGET_OBJECTS:mrv_test_isolation>)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    BUILD_RPATH "${MRV_BIN_DIR}")
  # Hermetic runs: each test process sets up its own environment
  # (testsupport/isolation.cpp): a home, Windows, runtime and temporary
  # directory of its own inside the build tree, the default country, the
  # headless backend, and none of the developer's MRV_*, XDG_* or display
  # variables. Nothing is handed down through ctest's environment, so a test
  # program run by hand is as isolated as one run by ctest. Tests that want a
  # display start an X server of their own.
  # A first listing on a loaded two-core machine (sanitizers, other builds
  # beside it) can take far longer than the default five seconds.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
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
  if(MRV_FUZZ AND fuzzers AND kind STREQUAL "MODULE")
    # A module's fuzz targets load it at run time, as its tests do.
    foreach(f ${fuzzers})
      get_filename_component(fn ${f} NAME_WE)
      mrv_add_fuzzer(${name}_${fn} SOURCES ${f} LIBS ${L_PRIVATE_LIBS} dl)
      target_include_directories(${name}_${fn} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
      add_dependencies(${name}_${fn} ${name})
    endforeach()
  elseif(MRV_FUZZ AND fuzzers)
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
