# The native build: portable logic under the sanitizers, and the Windows builds beside it.

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Debug CACHE STRING "" FORCE)
endif()
add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

add_subdirectory(src)
add_subdirectory(tests)
add_subdirectory(tests/release)

# The Wine rig the Windows tests share: a private prefix, Xvfb and a persistent wineserver,
# brought up before the first Windows test and taken down after the last, pass or fail.
set(FLASHGATE_RIG_DIR ${CMAKE_BINARY_DIR}/rig)
add_test(NAME rig.up COMMAND ${PROJECT_SOURCE_DIR}/scripts/rig up ${FLASHGATE_RIG_DIR})
add_test(NAME rig.down COMMAND ${PROJECT_SOURCE_DIR}/scripts/rig down ${FLASHGATE_RIG_DIR})
set_tests_properties(rig.up PROPERTIES FIXTURES_SETUP wine_rig)
set_tests_properties(rig.down PROPERTIES FIXTURES_CLEANUP wine_rig)

include(ExternalProject)

# The fuzzer, built with clang; the test run gives it a bounded time and a fixed seed.
ExternalProject_Add(fuzz
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz
  BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
add_test(NAME fuzz.walk
  COMMAND ${CMAKE_BINARY_DIR}/fuzz/walk_fuzzer -seed=1 -max_total_time=15
          -artifact_prefix=${CMAKE_BINARY_DIR}/fuzz/)
# How this machine runs the shipped i686 build's code (scripts/can-run-32bit): natively, all
# its Wine tests run; under qemu-i386 only a core set does (names beginning "emulated."),
# and the x86_64 build's suite covers the rest; where neither, its tests report a skip and
# the x86_64 suite stands in for them.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/can-run-32bit
                RESULT_VARIABLE cannot_run_32bit OUTPUT_VARIABLE mode_32bit
                ERROR_VARIABLE why_not_32bit OUTPUT_STRIP_TRAILING_WHITESPACE)
set(suites i686)
set(emulated OFF)
if(cannot_run_32bit)
  message(STATUS "The 32-bit tests will be skipped: ${why_not_32bit}")
  list(APPEND suites x86_64)
elseif(mode_32bit STREQUAL "emulated")
  message(STATUS "The shipped program's core tests run under qemu-i386")
  set(emulated ON)
  list(APPEND suites x86_64)
endif()
if(emulated)  # the prefix's 32-bit half is set up under qemu-i386 once, in minutes
  set_tests_properties(rig.up PROPERTIES TIMEOUT 1800)
endif()

# Each Windows build is its preset, with what only this build knows: the rig, whether the
# 32-bit code is emulated, whether the benchmark is wanted. --fresh: nothing an earlier
# configure cached outlives a change of these.
foreach(arch IN ITEMS x86_64 i686)
  ExternalProject_Add(win-${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/win-${arch}
    CONFIGURE_COMMAND ${CMAKE_COMMAND} --preset win-${arch} --fresh -S <SOURCE_DIR>
      -B <BINARY_DIR> -DFLASHGATE_RIG_DIR=${FLASHGATE_RIG_DIR}
      -DFLASHGATE_EMULATED=${emulated} -DFLASHGATE_BENCH=${FLASHGATE_BENCH}
      -DFLASHGATE_X86_64_BUILD=${CMAKE_BINARY_DIR}/win-x86_64
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
endforeach()

# One ctest run reports the native and the Windows tests together.
foreach(arch IN LISTS suites)
  file(WRITE ${CMAKE_BINARY_DIR}/include-win-${arch}.cmake
       "subdirs(\"${CMAKE_BINARY_DIR}/win-${arch}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
               ${CMAKE_BINARY_DIR}/include-win-${arch}.cmake)
endforeach()
