# Cross-build for 64-bit Windows with Debian's clang: the MinGW-w64 headers
# and import libraries, and the runtime (libstdc++, libgcc, winpthread) of the
# MinGW-w64 GCC posix installation, so that both compilers build against the
# same library. Nothing built here is run: there is no emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OVIK_MINGW_PREFIX x86_64-w64-mingw32)
# The version that clang-tidy-14 (scripts/analyse.sh) understands.
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${OVIK_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${OVIK_MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${OVIK_MINGW_PREFIX}-windres)

# The sysroot keeps the host's /usr/include out of the search path (clang
# would otherwise take /usr, where it finds the MinGW linker, as its base).
set(CMAKE_SYSROOT /usr/${OVIK_MINGW_PREFIX})

# Clang looks for the GCC runtime in lib/gcc/<triple>/<version>, and Debian's
# folder names ("12-posix") are no version to it: it finds neither the
# libstdc++ headers nor libstdc++.a and libgcc.a. Ask the posix GCC where they
# are and name them.
if(NOT OVIK_MINGW_GCC_DIR)
  execute_process(COMMAND ${OVIK_MINGW_PREFIX}-gcc-posix -print-libgcc-file-name
                  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT EXISTS "${libgcc}")
    message(FATAL_ERROR "${OVIK_MINGW_PREFIX}-gcc-posix did not name its libgcc.a; "
                        "install gcc-mingw-w64-x86-64-posix and g++-mingw-w64-x86-64-posix")
  endif()
  get_filename_component(gcc_dir "${libgcc}" DIRECTORY)
  set(OVIK_MINGW_GCC_DIR "${gcc_dir}" CACHE PATH "MinGW-w64 GCC posix runtime that clang links")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OVIK_MINGW_GCC_DIR)
if(NOT EXISTS "${OVIK_MINGW_GCC_DIR}/include/c++/${OVIK_MINGW_PREFIX}/bits/c++config.h")
  message(FATAL_ERROR "no libstdc++ headers for ${OVIK_MINGW_PREFIX} in ${OVIK_MINGW_GCC_DIR}/include/c++")
endif()

set(libstdcxx "${OVIK_MINGW_GCC_DIR}/include/c++")
set(CMAKE_CXX_FLAGS_INIT
    "-stdlib++-isystem ${libstdcxx} -stdlib++-isystem ${libstdcxx}/${OVIK_MINGW_PREFIX} -stdlib++-isystem ${libstdcxx}/backward")
# -pthread puts -lpthread among the runtime libraries, after libstdc++ and
# libgcc_eh, which need it with the posix thread model (GCC's driver does that
# by itself).
# The test programs link with "duplicate section ... has different size" notes
# from the linker: GCC pads libstdc++'s copies of the standard exception type
# data to 16 bytes, clang does not. The contents are the same; one is kept.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-pthread -L${OVIK_MINGW_GCC_DIR}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${OVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
