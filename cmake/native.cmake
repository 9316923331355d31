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

# The shipped i686 build is always built, and its file checked. Its Wine tests run where
# this machine runs 32-bit code (scripts/can-run-32bit); elsewhere they report a skip, and
# the x86_64 build of the same source, built only there, runs its suite in their place.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/can-run-32bit
                RESULT_VARIABLE cannot_run_32bit ERROR_VARIABLE why_not_32bit
                ERROR_STRIP_TRAILING_WHITESPACE)
set(windows_builds i686)
if(cannot_run_32bit)
  message(STATUS "The 32-bit tests will be skipped: ${why_not_32bit}")
  list(APPEND windows_builds x86_64)
endif()

# Each Windows build is its preset, with what only this build knows: the rig and whether
# the benchmark is wanted. --fresh: nothing an earlier configure cached outlives a change.
foreach(arch IN LISTS windows_builds)
  ExternalProject_Add(win-${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/win-${arch}
    CONFIGURE_COMMAND ${CMAKE_COMMAND} --preset win-${arch} --fresh -S <SOURCE_DIR>
      -B <BINARY_DIR> -DFLASHGATE_RIG_DIR=${FLASHGATE_RIG_DIR}
      -DFLASHGATE_BENCH=${FLASHGATE_BENCH}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
endforeach()

# One ctest run reports the native and the Windows tests together.
foreach(arch IN LISTS windows_builds)
  file(WRITE ${CMAKE_BINARY_DIR}/include-win-${arch}.cmake
       "subdirs(\"${CMAKE_BINARY_DIR}/win-${arch}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
               ${CMAKE_BINARY_DIR}/include-win-${arch}.cmake)
endforeach()
