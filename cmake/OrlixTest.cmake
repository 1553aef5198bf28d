# orlix_add_gtest(NAME SOURCES a.cpp ... [LIBS lib ...] [EMULATED] [LABELS l ...] [TIMEOUT s])
#
# one GoogleTest binary, registered test by test with ctest. EMULATED tests run
# under the umockdev preload, so that a testbed created by the test (the card
# emulator) is what the code under test sees as /sys and /dev.
set(ORLIX_UMOCKDEV_PRELOAD "libumockdev-preload.so.0")

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
  set(env "ORLIX_BUILD_DIR=${CMAKE_BINARY_DIR}" "ORLIX_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(T_EMULATED)
    list(APPEND env "LD_PRELOAD=${ORLIX_UMOCKDEV_PRELOAD}")
    list(APPEND T_LABELS emulated)
  endif()
  # the test binary runs through env(1) with its variables, for discovery
  # and for every test alike
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "env;${env}")
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    # a list does not survive the discovery script (it arrives as blanks), so
    # the labels go as one word: ctest -L and -LE match by regular expression,
    # so "slow" and "emulated" still select "slow_emulated"
    list(JOIN T_LABELS "_" labels)
    list(APPEND props LABELS ${labels})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES ${props})
endfunction()
