# Cross build for 64-bit Windows with clang and lld, over Debian's mingw-w64
# (its headers, its runtime and the posix-thread GCC's libstdc++ and libgcc).
# Test programs run under Wine through cmake/wine-run.sh, each build tree
# with a Wine prefix of its own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALVOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TALVOR_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TALVOR_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${TALVOR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TALVOR_MINGW_TRIPLE}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${TALVOR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "Ranlib")

# clang looks for mingw's GCC below /usr/lib/gcc/<triple>/<version>, and
# Debian names that directory "12-posix", which clang does not take for a
# version: it finds neither libstdc++'s headers nor libgcc. The GCC of the
# same thread model says where it keeps them.
if(NOT TALVOR_MINGW_GCC_DIR)
  execute_process(COMMAND ${TALVOR_MINGW_TRIPLE}-gcc-posix -print-libgcc-file-name
                  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT EXISTS "${libgcc}")
    message(FATAL_ERROR "mingw-w64-clang: ${TALVOR_MINGW_TRIPLE}-gcc-posix (Debian's g++-mingw-w64-x86-64-posix) "
                        "is needed for libstdc++ and libgcc")
  endif()
  get_filename_component(gcc_dir "${libgcc}" DIRECTORY)
  set(TALVOR_MINGW_GCC_DIR "${gcc_dir}" CACHE PATH "mingw-w64 GCC's library directory, for clang")
endif()
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    "${TALVOR_MINGW_GCC_DIR}/include/c++"
    "${TALVOR_MINGW_GCC_DIR}/include/c++/${TALVOR_MINGW_TRIPLE}"
    "${TALVOR_MINGW_GCC_DIR}/include/c++/backward")
# lld, and GCC's directory for libstdc++ and libgcc. A statically linked
# libstdc++ of the posix thread model calls winpthread, which GCC's driver
# adds by itself and clang's does not; lld takes the library from any
# position on the command line, and links only what is used.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${TALVOR_MINGW_GCC_DIR} -lwinpthread")
endforeach()

# Libraries, headers and packages come from the mingw sysroot and from the
# prefixes the author names in CMAKE_PREFIX_PATH (where an installed Talvor
# Onefile lies); programs (python3, the compilers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TALVOR_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# talvor_add_onefile reads the DLLs' imports with file(GET_RUNTIME_DEPENDENCIES),
# which understands GNU objdump's listing: llvm-objdump, which CMake would
# take beside clang, indents "DLL Name:" with blanks rather than a tab, and
# nothing would be found.
find_program(CMAKE_OBJDUMP ${TALVOR_MINGW_TRIPLE}-objdump)

# The toolchain file is read again for every try_compile, in a scratch tree;
# the emulator is fixed once, by the first read, which belongs to the real
# build tree. A TALVOR_WINEPREFIX in the environment overrides the prefix.
if(NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CURRENT_LIST_DIR}/../wine-run.sh;--wineprefix=${CMAKE_BINARY_DIR}/wineprefix"
      CACHE STRING "Runs the test programs under Wine")
endif()
