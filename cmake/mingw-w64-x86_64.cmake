# Cross-build for 64-bit Windows with MinGW-w64 (posix thread model, which
# GoogleTest needs). Windows executables built here run under Wine through
# the emulator script, so CTest can run the test programs on this host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OVIK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OVIK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OVIK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${OVIK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The emulator script lives in the build tree (written at configure time) so
# that it carries the build's own Wine prefix and display.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
