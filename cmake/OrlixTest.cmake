# orlix_add_gtest(NAME SOURCES a.cpp ... [LIBS lib ...] [EMULATED] [LABELS l ...] [TIMEOUT s])
#
# one GoogleTest binary, registered test by test with ctest. EMULATED tests run
# under the umockdev preload, so that a testbed created by the test (the card
# emulator) is what the code under test sees as /sys and /dev.
set(ORLIX_UMOCKDEV_PRELOAD "libumockdev-preload.so.0")

# sanitizer builds (CMakePresets.json: asan, tsan) run slower: every timeout is
# multiplied by ORLIX_TIMEOUT_SCALE. ORLIX_SANITIZER names the sanitizer the
# build carries; its options go to each test and so to every process the test
# starts. a report ends the process with SIGABRT (abort_on_error), so that a
# child with a report (orlixmon, orlix-cardsim, ...) does not pass for one that
# merely failed as the test expected. no log_path: under the umockdev preload
# the runtime's mkdir of the report folder runs before the preload is set up
# and crashes; reports go to standard error.
set(ORLIX_TIMEOUT_SCALE 1 CACHE STRING "factor of every test timeout")
set(ORLIX_SANITIZER "" CACHE STRING "sanitizer of this build: asan, tsan or empty")
set(orlix_sanitizer_env)
if(ORLIX_SANITIZER STREQUAL "asan")
  set(orlix_sanitizer_env
    "ORLIX_TIMEOUT_SCALE=${ORLIX_TIMEOUT_SCALE}" "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:check_initialization_order=1:strict_init_order=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1")
elseif(ORLIX_SANITIZER STREQUAL "tsan")
  set(orlix_sanitizer_env "ORLIX_TIMEOUT_SCALE=${ORLIX_TIMEOUT_SCALE}" "TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_SOURCE_DIR}/cmake/tsan.supp")
elseif(ORLIX_SANITIZER)
  message(FATAL_ERROR "ORLIX_SANITIZER is asan, tsan or empty, not ${ORLIX_SANITIZER}")
endif()

function(orlix_add_gtest name)
  cmake_parse_arguments(T "EMULATED" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ORLIX_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  math(EXPR T_TIMEOUT "${T_TIMEOUT} * ${ORLIX_TIMEOUT_SCALE}")
  math(EXPR discovery_timeout "30 * ${ORLIX_TIMEOUT_SCALE}")
  set(env "ORLIX_BUILD_DIR=${CMAKE_BINARY_DIR}" "ORLIX_SOURCE_DIR=${CMAKE_SOURCE_DIR}" ${orlix_sanitizer_env})
  if(T_EMULATED)
    list(APPEND env "LD_PRELOAD=${ORLIX_UMOCKDEV_PRELOAD}")
    list(APPEND T_LABELS emulated)
  endif()
  # the test binary runs through env(1) with its variables, for discovery
  # and for every test alike
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "env;${env}")
  set(props TIMEOUT ${T_TIMEOUT})
  # slow tests start before the quick ones also in a build that ctest has
  # not timed yet (a clean checkout); later runs go by the measured times
  if("slow" IN_LIST T_LABELS)
    list(APPEND props COST 60)
  endif()
  if(T_LABELS)
    # a list does not survive the discovery script (it arrives as blanks), so
    # the labels go as one word: ctest -L and -LE match by regular expression,
    # so "slow" and "emulated" still select "slow_emulated"
    list(JOIN T_LABELS "_" labels)
    list(APPEND props LABELS ${labels})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT ${discovery_timeout} PROPERTIES ${props})
endfunction()
