# Windows programs built with mingw-w64's POSIX-thread cross compiler, for FLASHGATE_ARCH:
# i686, the shipped program, or x86_64, the same source on a second ABI and the suite of a
# machine that cannot run 32-bit code. The presets name this file and the architecture.
set(FLASHGATE_ARCH i686 CACHE STRING "i686 (the shipped program) or x86_64")
if(NOT FLASHGATE_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "FLASHGATE_ARCH is i686 or x86_64, not '${FLASHGATE_ARCH}'")
endif()
# try_compile reads this file again, in a project of its own that needs the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FLASHGATE_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${FLASHGATE_ARCH})
set(CMAKE_C_COMPILER ${FLASHGATE_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLASHGATE_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${FLASHGATE_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${FLASHGATE_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Their tests run under Wine, in the rig that the native build brings up.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
