# mv604_add_test(NAME SOURCES src... [LIBS lib...] [SIMULATOR] [CONCURRENCY])
# Adds a Qt Test executable and registers it with CTest; a SIMULATOR test is skipped, with a
# message, when umockdev is absent (callers check TARGET NAME before adding to it). SIMULATOR tests run under umockdev's
# preload so that libusb-0.1 reaches the simulated KR960 of sim/. CONCURRENCY tests drive one
# object from several threads; they carry the CTest label "concurrency", which the
# ThreadSanitizer run selects, and the target mv604_concurrency_tests builds just them.
set(MV604_PRELOAD "libumockdev-preload.so.0" CACHE STRING "Preload library that serves the simulated USB bus")

set(MV604_SANITIZER_DIR ${CMAKE_CURRENT_LIST_DIR}/../tests/sanitizer)
get_filename_component(MV604_SANITIZER_DIR ${MV604_SANITIZER_DIR} ABSOLUTE)

# Runtime options of the sanitizer build, for every test.
function(mv604_sanitizer_environment out)
  set(env)
  if(MV604_SANITIZE STREQUAL "address")
    # umockdev's preload comes first in LD_PRELOAD, ahead of the ASan runtime the test links;
    # ASan works behind it (the preload only wraps file and ioctl calls, and ASan's own start-up
    # runs from the executable's preinit array before any library), so its order check is off.
    # Every test gets that, not only SIMULATOR ones: mv604-sim sets the preload for the
    # instrumented children it starts, which listing libasan.so in LD_PRELOAD would not reach.
    list(APPEND env "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:detect_stack_use_after_return=1"
         "LSAN_OPTIONS=suppressions=${MV604_SANITIZER_DIR}/lsan.supp:print_suppressions=0"
         "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  elseif(MV604_SANITIZE STREQUAL "thread")
    # Suites that run objcopy start it from a process that already has threads.
    list(APPEND env "TSAN_OPTIONS=suppressions=${MV604_SANITIZER_DIR}/tsan.supp:second_deadlock_stack=1:die_after_fork=0")
  endif()
  set(${out} "${env}" PARENT_SCOPE)
endfunction()

function(mv604_add_test name)
  cmake_parse_arguments(ARG "SIMULATOR;CONCURRENCY;TOOLS" "" "SOURCES;LIBS;FUNCTIONS" ${ARGN})
  # A build without umockdev (a packager's) has no simulated KR960: its suites are left out and
  # the others still build and run.
  if(ARG_SIMULATOR AND NOT TARGET kr960_sim)
    message(STATUS "${name} skipped: the simulated KR960 needs umockdev")
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  add_test(NAME ${name} COMMAND ${name} ${ARG_FUNCTIONS})
  if(ARG_TOOLS) # runs mv604-cli (and its station's mv604-worker), alone or under mv604-sim
    add_dependencies(${name} mv604-cli mv604-worker mv604-sim)
    target_compile_definitions(${name} PRIVATE MV604_CLI="$<TARGET_FILE:mv604-cli>"
                                               MV604_WORKER="$<TARGET_FILE:mv604-worker>"
                                               MV604_SIM="$<TARGET_FILE:mv604-sim>")
  endif()
  set(env "QT_QPA_PLATFORM=offscreen" "MV604_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
  if(ARG_SIMULATOR)
    target_link_libraries(${name} PRIVATE kr960_sim)
    list(APPEND env "LD_PRELOAD=${MV604_PRELOAD}")
  endif()
  mv604_sanitizer_environment(sanitizer_env)
  list(APPEND env ${sanitizer_env})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 120)
  if(ARG_CONCURRENCY)
    set_property(TEST ${name} APPEND PROPERTY LABELS concurrency)
    if(NOT TARGET mv604_concurrency_tests)
      add_custom_target(mv604_concurrency_tests)
    endif()
    add_dependencies(mv604_concurrency_tests ${name})
  endif()
endfunction()

# mv604_add_test_part(NAME PART function...)
# Runs some test functions of suite NAME as a CTest test of their own, NAME_PART, with the
# suite's environment, so that two long halves of one suite run side by side. The suite's own
# mv604_add_test then names its other functions with FUNCTIONS.
function(mv604_add_test_part name part)
  if(NOT TARGET ${name})
    return()
  endif()
  add_test(NAME ${name}_${part} COMMAND ${name} ${ARGN})
  get_test_property(${name} ENVIRONMENT environment)
  get_test_property(${name} TIMEOUT timeout)
  set_tests_properties(${name}_${part} PROPERTIES ENVIRONMENT "${environment}" TIMEOUT ${timeout})
endfunction()
