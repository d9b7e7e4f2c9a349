# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
# Test programs run under Wine through cmake/wine-run.sh, each build tree with
# a Wine prefix of its own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALVOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALVOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVOR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TALVOR_MINGW_TRIPLE}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${TALVOR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "Ranlib")

# Libraries, headers and packages come from the mingw sysroot and from the
# prefixes the author names in CMAKE_PREFIX_PATH (where an installed Talvor
# Onefile lies); programs (python3, the compilers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TALVOR_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The toolchain file is read again for every try_compile, in a scratch tree;
# the emulator is fixed once, by the first read, which belongs to the real
# build tree. A TALVOR_WINEPREFIX in the environment overrides the prefix.
if(NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CURRENT_LIST_DIR}/../wine-run.sh;--wineprefix=${CMAKE_BINARY_DIR}/wineprefix"
      CACHE STRING "Runs the test programs under Wine")
endif()
