# The test programs' common build: included from the top-level CMakeLists.txt
# when the test suite is built.

find_package(GTest REQUIRED)
include(GoogleTest)

# ov_add_gtest(<name> SOURCES <file>...
#              [LIBS <target>...] [DEFINITIONS <definition>...]
#              [INCLUDES <directory>...] [DEPENDS <target>...]
#              [TEST_PREFIX <prefix>] [TIMEOUT <seconds>])
#
# A GoogleTest program compiled with _GNU_SOURCE and linked with gtest_main,
# the gtest-free helpers (ov_test_support) and LIBS, with the gtest-side
# helpers (test_util.h) on its include path. DEPENDS names programs that it
# starts and that must be built first. CTest lists its tests when it runs
# them, not at build time, so that a build never runs a test program; each
# test may take TIMEOUT seconds (300 by default). TEST_PREFIX goes in front
# of the CTest names, for a second run of the same tests.
function(ov_add_gtest name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TEST_PREFIX;TIMEOUT"
    "SOURCES;LIBS;DEFINITIONS;INCLUDES;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_SOURCES)
    message(FATAL_ERROR "ov_add_gtest(${name}): SOURCES missing or unknown arguments "
      "'${arg_UNPARSED_ARGUMENTS}'")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/base/ovplatform/tests
    ${arg_INCLUDES})
  target_compile_definitions(${name} PRIVATE _GNU_SOURCE ${arg_DEFINITIONS})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} ov_test_support
    GTest::gtest GTest::gtest_main)
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  set(prefix)
  if(arg_TEST_PREFIX)
    set(prefix TEST_PREFIX ${arg_TEST_PREFIX})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 ${prefix}
    PROPERTIES TIMEOUT ${arg_TIMEOUT})
endfunction()
