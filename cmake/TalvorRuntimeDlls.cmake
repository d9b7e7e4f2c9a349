# Runs talvor-pack for a Windows onefile executable with the DLLs that its
# packed libraries import from the toolchain's directories and those of
# imported targets (a C++ library built with mingw imports libstdc++-6.dll,
# libgcc_s_seh-1.dll and libwinpthread-1.dll), at build time, once the
# libraries exist:
#
#   cmake -DPACK=<talvor-pack> -DARGUMENTS=<create arguments> -DDIRECTORIES=<dirs>
#         -DOBJDUMP=<objdump> -P TalvorRuntimeDlls.cmake
#
# The libraries are the DLLs among the --main and --file items of ARGUMENTS.
# Their imports are followed through every DLL found, and each one found in
# DIRECTORIES is packed at the top of the archive, where the application's
# loads search. A DLL found nowhere there is the system's (kernel32.dll,
# msvcrt.dll, the api-ms-win-* sets) and never packed, or one the author
# packs or ships otherwise. A DLL packed already under its name is not packed
# again.
cmake_policy(VERSION 3.25)

set(libraries "")
set(packed_names "")
list(LENGTH ARGUMENTS count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last})
  list(GET ARGUMENTS ${i} option)
  if(NOT option MATCHES "^--(main|file)$" OR i EQUAL last)
    continue()
  endif()
  math(EXPR next "${i} + 1")
  list(GET ARGUMENTS ${next} item)
  # SOURCE[=NAME], split at the last '='.
  if(item MATCHES "^(.*)=([^=]*)$")
    set(file "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
  else()
    set(file "${item}")
    get_filename_component(name "${item}" NAME)
  endif()
  string(TOLOWER "${name}" name)
  list(APPEND packed_names "${name}")
  if(file MATCHES "\\.[Dd][Ll][Ll]$")
    list(APPEND libraries "${file}")
  endif()
endforeach()

set(extra "")
if(libraries)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM "windows+pe")
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL "objdump")
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${OBJDUMP}")
  file(GET_RUNTIME_DEPENDENCIES
    LIBRARIES ${libraries}
    DIRECTORIES ${DIRECTORIES}
    RESOLVED_DEPENDENCIES_VAR found
    UNRESOLVED_DEPENDENCIES_VAR unresolved
    CONFLICTING_DEPENDENCIES_PREFIX conflicting
    PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-")
  # Of a name found in several directories, the first directory's copy.
  foreach(name IN LISTS conflicting_FILENAMES)
    list(GET conflicting_${name} 0 first)
    list(APPEND found "${first}")
  endforeach()
  foreach(dll IN LISTS found)
    # Only what lies in the directories given: the search may also look
    # along PATH, which holds no library of the application's.
    get_filename_component(dir "${dll}" DIRECTORY)
    get_filename_component(name "${dll}" NAME)
    string(TOLOWER "${name}" name)
    set(in_directories OFF)
    foreach(candidate IN LISTS DIRECTORIES)
      get_filename_component(candidate "${candidate}" ABSOLUTE)
      if(dir STREQUAL candidate)
        set(in_directories ON)
      endif()
    endforeach()
    if(in_directories AND NOT name IN_LIST packed_names)
      list(APPEND packed_names "${name}")
      list(APPEND extra --file "${dll}")
    endif()
  endforeach()
endif()

execute_process(COMMAND ${PACK} ${ARGUMENTS} ${extra} COMMAND_ERROR_IS_FATAL ANY)
