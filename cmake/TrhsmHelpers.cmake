# Test code is compiled far more often than it runs: in the optimised builds it builds without
# optimisation, and in every build without debug information, which together halve the suite's
# build time. The code under test keeps the build's own flags.
function(trhsm_test_code target)
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-O0> -g0)
endfunction()

# trhsm_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>] [COST <n>])
# COST: a long-running binary's cases start first, so that they do not end the run alone.
# One GoogleTest binary per call; its cases become separate ctest tests, listed when ctest runs.
# The label "tsan" marks the binaries that the ThreadSanitizer build runs.
function(trhsm_add_test name)
  if(NOT TRHSM_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "COST" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_COST)
    set(T_COST 0)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  trhsm_test_code(${name})
  # The discovered tests' properties cannot carry a list, so the labels join into one, such as
  # "perf_tests:tsan"; ctest -L takes a regular expression, so -L tsan and -L perf_tests both find it.
  string(JOIN ":" labels ${name} ${T_LABELS})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${labels}" TIMEOUT 300 COST ${T_COST})
  if("tsan" IN_LIST T_LABELS)
    add_dependencies(tsan_tests ${name})
  endif()
endfunction()

if(TRHSM_BUILD_TESTS AND NOT TARGET tsan_tests)
  add_custom_target(tsan_tests)
endif()

find_package(Threads REQUIRED)
