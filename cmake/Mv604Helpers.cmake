# mv604_add_test(NAME SOURCES src... [LIBS lib...] [SIMULATOR])
# Adds a Qt Test executable and registers it with CTest. SIMULATOR tests run under umockdev's
# preload so that libusb-0.1 reaches the simulated KR960 of sim/.
set(MV604_PRELOAD "libumockdev-preload.so.0" CACHE STRING "Preload library that serves the simulated USB bus")

function(mv604_add_test name)
  cmake_parse_arguments(ARG "SIMULATOR" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  add_test(NAME ${name} COMMAND ${name})
  set(env "QT_QPA_PLATFORM=offscreen" "MV604_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
  if(ARG_SIMULATOR)
    target_link_libraries(${name} PRIVATE kr960_sim)
    list(APPEND env "LD_PRELOAD=${MV604_PRELOAD}")
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 120)
endfunction()
