# talvor_add_onefile(<name> MAIN <target-or-file>
#                    [FILES <target-or-file> [AS <stored-name>] ...]
#                    [DIRECTORIES <dir>[/] ... [DESTINATION <path>] [EXCLUDE <pattern>...]]
#                    [ICON <file.ico>] [COMPRESSION_LEVEL <n>] [CONSOLE]
#                    [TARGET_DIRECTORY <path spec>] [NO_RUNTIME_DLLS] [PREBUILT]
#                    [VERSION_INFO [PRODUCT_NAME <text>] [PRODUCT_VERSION <a.b.c.d>]
#                                  [FILE_VERSION <a.b.c.d>] [COMPANY <text>]
#                                  [DESCRIPTION <text>] [COPYRIGHT <text>]])
#
# Builds the executable <name>: the launcher with the attached data linked
# into its read-only data. MAIN becomes the archive's first entry (the
# library whose run_code the launcher calls); FILES and the files below
# DIRECTORIES follow. A library target is stored under its SONAME on Linux.
# DIRECTORIES work as in install(DIRECTORY): "assets" is stored as
# <DESTINATION>/assets/..., "assets/" as <DESTINATION>/...; EXCLUDE patterns
# leave out every file or directory whose name (a pattern with a slash: whose
# path below the directory) matches. The default level is 19 for release
# configurations and 3 otherwise. CONSOLE links the console launcher.
# TARGET_DIRECTORY replaces the launcher's target spec: without any of
# {PID}, {TIME}, {TIME_US} and {RANDOM} it names a cached directory, kept
# from start to start below "<expanded spec>/<digest of the archive>".
# On Windows the DLLs that the packed libraries import from the toolchain's
# directories (libstdc++-6.dll...) and from those of imported targets are
# packed too, at build time; NO_RUNTIME_DLLS leaves them out.
# PREBUILT makes the executable without compiling or linking anything:
# talvor-pack completes the prebuilt launcher with the attached data. A
# build with MSVC always takes this way. <name> is then an imported
# executable (install it with install(PROGRAMS $<TARGET_FILE:<name>>)), made
# by the target <name>_onefile.
# VERSION_INFO gives a Windows executable its version resource, as
# talvor-pack's --product-name, --product-version, --file-version, --company,
# --description and --copyright do: versions are "a[.b[.c[.d]]]" with
# numbers up to 65535, the file version defaults to the product version, and
# OriginalFilename is <name>.exe. Without VERSION_INFO there is none.
#
# The function runs in the caller's directory scope: it reads only its
# arguments, cache variables, global properties and the location of this
# file, so that it works the same through add_subdirectory and through
# find_package(TalvorOnefile CONFIG).
include_guard(GLOBAL)
cmake_policy(VERSION 3.25)

set(TALVOR_PACK_EXECUTABLE "" CACHE FILEPATH "talvor-pack for the build machine (empty: build or find it)")

# Sets <out_command> and <out_depends> to the talvor-pack that runs on the
# build machine.
function(_talvor_pack_tool out_command out_depends)
  get_property(host_pack GLOBAL PROPERTY TALVOR_ONEFILE_HOST_PACK)
  set(tools_dir "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools/pack")
  if(TALVOR_PACK_EXECUTABLE)
    set(command "${TALVOR_PACK_EXECUTABLE}")
    set(depends "${TALVOR_PACK_EXECUTABLE}")
  elseif(NOT CMAKE_CROSSCOMPILING AND TARGET talvor-pack)
    set(command "$<TARGET_FILE:talvor-pack>")
    set(depends talvor-pack)
  elseif(NOT CMAKE_CROSSCOMPILING AND TARGET talvor::talvor-pack)
    set(command "$<TARGET_FILE:talvor::talvor-pack>")
    set(depends talvor::talvor-pack)
  elseif(host_pack)
    # An installed package whose prefix also holds the build machine's tool.
    set(command "${host_pack}")
    set(depends "${host_pack}")
  elseif(EXISTS "${tools_dir}/CMakeLists.txt")
    # The target's own tool cannot run here: build tools/pack once for the
    # build machine, in a project of its own without the cross toolchain,
    # and again only when its sources change.
    set(host_dir "${CMAKE_BINARY_DIR}/talvor-pack-host")
    if(NOT TARGET talvor_pack_host)
      include(ExternalProject)
      ExternalProject_Add(talvor_pack_host
        SOURCE_DIR "${tools_dir}"
        BINARY_DIR "${host_dir}"
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=
        INSTALL_COMMAND ""
        BUILD_BYPRODUCTS "${host_dir}/talvor-pack")
      file(GLOB host_sources CONFIGURE_DEPENDS
           "${tools_dir}/*.cpp" "${tools_dir}/*.h" "${tools_dir}/CMakeLists.txt"
           "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/attached/format.h"
           "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/attached/prebuilt.h"
           "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/attached/entry_names.h"
           "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/attached/entry_names.cpp")
      ExternalProject_Add_StepDependencies(talvor_pack_host build ${host_sources})
    endif()
    set(command "${host_dir}/talvor-pack")
    set(depends talvor_pack_host "${host_dir}/talvor-pack")
  else()
    find_program(TALVOR_PACK_FOUND talvor-pack)
    if(NOT TALVOR_PACK_FOUND)
      message(FATAL_ERROR "talvor_add_onefile: no talvor-pack for the build machine. Install "
        "the build machine's Talvor Onefile into the same prefix (cmake --install <linux build> "
        "--prefix <prefix>), put talvor-pack on PATH, or set TALVOR_PACK_EXECUTABLE.")
    endif()
    set(command "${TALVOR_PACK_FOUND}")
    set(depends "${TALVOR_PACK_FOUND}")
  endif()
  set(${out_command} "${command}" PARENT_SCOPE)
  set(${out_depends} "${depends}" PARENT_SCOPE)
endfunction()

# A library target's packed copy is loaded from the target directory: it
# finds the libraries packed beside it through a RUNPATH of $ORIGIN, and must
# not name the build tree, which would make it work on the build machine
# alone. The author's own install RPATH entries stay behind $ORIGIN.
function(_talvor_onefile_use_origin target)
  get_target_property(type "${target}" TYPE)
  get_target_property(imported "${target}" IMPORTED)
  if(WIN32 OR imported OR NOT type MATCHES "^(SHARED|MODULE)_LIBRARY$")
    return()
  endif()
  get_target_property(rpath "${target}" INSTALL_RPATH)
  if(NOT rpath)
    set(rpath "")
  endif()
  if(NOT "$ORIGIN" IN_LIST rpath)
    list(PREPEND rpath "$ORIGIN")
  endif()
  set_target_properties("${target}" PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${rpath}")
endfunction()

# The talvor-pack argument that packs one MAIN or FILES item: a target's file
# (under its SONAME on Linux), a generator expression or a path, each
# optionally under a stored name. Appends the item's dependencies.
function(_talvor_onefile_input item stored_name out_argument depends_var)
  set(depends ${${depends_var}})
  if(item MATCHES "^\\$<TARGET_FILE:([^>]+)>$")
    if(TARGET "${CMAKE_MATCH_1}")
      set(item "${CMAKE_MATCH_1}")
    endif()
  endif()
  if(TARGET "${item}")
    _talvor_onefile_use_origin("${item}")
    set(file "$<TARGET_FILE:${item}>")
    get_target_property(type "${item}" TYPE)
    if(stored_name STREQUAL "" AND NOT WIN32 AND type STREQUAL "SHARED_LIBRARY")
      # The loader asks for a library by its SONAME (liba.so.1), not by the
      # name of the file that the build wrote (liba.so.1.2.3).
      set(stored_name "$<TARGET_SONAME_FILE_NAME:${item}>")
    endif()
    list(APPEND depends "${item}")
  elseif(item MATCHES "^\\$<")
    set(file "${item}")
    list(APPEND depends "${item}")
  else()
    get_filename_component(file "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND depends "${file}")
  endif()
  if(NOT stored_name STREQUAL "")
    set(file "${file}=${stored_name}")
  endif()
  set(${out_argument} "${file}" PARENT_SCOPE)
  set(${depends_var} "${depends}" PARENT_SCOPE)
endfunction()

# Writes <file> only when its content changes, so that an unchanged file
# leaves the build with no work to do. Unlike file(CONFIGURE), it replaces no
# @VAR@ in paths.
function(_talvor_onefile_write file content)
  if(EXISTS "${file}")
    file(READ "${file}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${file}" "${content}")
endfunction()

# Checks a TARGET_DIRECTORY spec and sets <out_cached> to whether it names a
# cached directory. A directory made for one start needs its per-start
# placeholders in its last component, the one removed at the end: one in a
# parent would leave a new parent behind at every start, half cached and half
# not.
function(_talvor_onefile_check_spec spec out_cached)
  set(known TEMP PROGRAM PROGRAM_BASE PROGRAM_DIR PID HOME CACHE_DIR RANDOM TIME_US TIME)
  set(per_start PID TIME TIME_US RANDOM)
  if(spec STREQUAL "")
    message(FATAL_ERROR "talvor_add_onefile: TARGET_DIRECTORY needs a path spec")
  endif()
  if(spec MATCHES "}" AND NOT spec MATCHES "^[^}]*({[^{}]*}[^}]*)*$")
    message(FATAL_ERROR "talvor_add_onefile: TARGET_DIRECTORY \"${spec}\": a '}' outside a placeholder")
  endif()
  string(REGEX MATCHALL "{[^{}]*}" placeholders "${spec}")
  set(per_start_used "")
  foreach(placeholder IN LISTS placeholders)
    string(REGEX REPLACE "^{(.*)}$" "\\1" placeholder_name "${placeholder}")
    string(TOUPPER "${placeholder_name}" placeholder_name)
    if(NOT placeholder_name IN_LIST known)
      message(FATAL_ERROR "talvor_add_onefile: TARGET_DIRECTORY \"${spec}\": unknown placeholder "
        "${placeholder}; known are {TEMP}, {HOME}, {CACHE_DIR}, {PROGRAM}, {PROGRAM_BASE}, "
        "{PROGRAM_DIR}, {PID}, {TIME}, {TIME_US} and {RANDOM}")
    endif()
    if(placeholder_name IN_LIST per_start)
      list(APPEND per_start_used "${placeholder}")
    endif()
  endforeach()
  if(per_start_used)
    # Everything after the last separator is the last component.
    string(REGEX REPLACE "^.*[/\\]" "" last_component "${spec}")
    string(LENGTH "${last_component}" last_length)
    string(LENGTH "${spec}" spec_length)
    math(EXPR parent_length "${spec_length} - ${last_length}")
    string(SUBSTRING "${spec}" 0 ${parent_length} parent)
    string(TOUPPER "${parent}" parent)
    if(parent MATCHES "{(PID|TIME|TIME_US|RANDOM)}")
      message(FATAL_ERROR "talvor_add_onefile: TARGET_DIRECTORY \"${spec}\" mixes the two kinds of "
        "target directory: a per-start placeholder (${per_start_used}) outside the last component. "
        "Either leave out {PID}, {TIME}, {TIME_US} and {RANDOM} (a cached directory, kept from start "
        "to start), or put them in the last component only (a fresh directory for every start, "
        "removed at the end)")
    endif()
    set(${out_cached} OFF PARENT_SCOPE)
  else()
    set(${out_cached} ON PARENT_SCOPE)
  endif()
endfunction()

# The target path spec as a string literal of the launcher's character
# type. Windows paths take backslashes; a CMake author writes slashes.
function(_talvor_onefile_spec_literal spec out_literal)
  if(WIN32)
    string(REPLACE "/" "\\" spec "${spec}")
  endif()
  string(REPLACE "\\" "\\\\" spec "${spec}")
  string(REPLACE "\"" "\\\"" spec "${spec}")
  if(WIN32)
    set(${out_literal} "L\"${spec}\"" PARENT_SCOPE)
  else()
    set(${out_literal} "\"${spec}\"" PARENT_SCOPE)
  endif()
endfunction()

# The source that puts the attached data into read-only data: .incbin in a
# top-level asm block, in C or C++ as the caller's directory compiles, so
# that no ASM language is needed. The size is a link-time constant computed
# by the assembler. Beside it: the target spec (empty: the launcher's own)
# and the cache key (a single zero byte when the directory is not cached).
function(_talvor_onefile_blob_source name blob spec key out_source)
  foreach(kind IN ITEMS blob key)
    string(REPLACE "\\" "\\\\" path "${${kind}}")
    string(REPLACE "\"" "\\\"" path "${path}")
    string(REPLACE "\\" "\\\\" path "${path}")
    string(REPLACE "\"" "\\\"" path "${path}")
    set(asm_${kind} "${path}")
  endforeach()
  if(key STREQUAL "")
    set(key_data "\".byte 0\\n\"\n")
  else()
    set(key_data "\".incbin \\\"${asm_key}\\\"\\n\"\n")
  endif()
  _talvor_onefile_spec_literal("${spec}" spec_literal)
  if(WIN32)
    set(char_type "wchar_t")
  else()
    set(char_type "char")
  endif()
  if(WIN32)
    # The COFF assembler has no .pushsection: switch, and return to .text,
    # where the compiler believes it is.
    set(push ".section .rdata,\\\"dr\\\"")
    set(pop ".text")
    set(type_data "")
    set(type_size "")
    set(size_data "")
    set(note "")
  else()
    set(push ".pushsection .rodata.talvor_attached,\\\"a\\\",@progbits")
    set(pop ".popsection")
    set(type_data "\".type talvor_attached_data, @object\\n\"\n")
    set(size_data "\".size talvor_attached_data, talvor_attached_data_end - talvor_attached_data\\n\"\n")
    set(type_size "\".type talvor_attached_size, @object\\n\"\n\".size talvor_attached_size, 8\\n\"\n")
    set(note "\".pushsection .note.GNU-stack,\\\"\\\",@progbits\\n\"\n\".popsection\\n\"\n")
  endif()
  if(DEFINED CMAKE_CXX_COMPILE_OBJECT)
    set(extension cpp)
  else()
    set(extension c)
  endif()
  get_filename_component(work_dir "${blob}" DIRECTORY)
  set(source "${work_dir}/attached_data.${extension}")
  _talvor_onefile_write("${source}"
"/* Generated by talvor_add_onefile for ${name}: the attached data as the
   symbols talvor_attached_data and talvor_attached_size, the target spec and
   the cache key. */
#include <stddef.h>
#ifdef __cplusplus
#define TALVOR_ONEFILE_DATA extern \"C\"
#else
#define TALVOR_ONEFILE_DATA
#endif
TALVOR_ONEFILE_DATA const ${char_type} talvor_target_spec[] = ${spec_literal};
__asm__(
\"${push}\\n\"
\".balign 16\\n\"
\".globl talvor_attached_data\\n\"
${type_data}\"talvor_attached_data:\\n\"
\".incbin \\\"${asm_blob}\\\"\\n\"
\"talvor_attached_data_end:\\n\"
${size_data}\".balign 8\\n\"
\".globl talvor_attached_size\\n\"
${type_size}\"talvor_attached_size:\\n\"
\".quad talvor_attached_data_end - talvor_attached_data\\n\"
\".globl talvor_cache_key\\n\"
\"talvor_cache_key:\\n\"
${key_data}\"${pop}\\n\"
${note});
")
  set_source_files_properties("${source}" PROPERTIES OBJECT_DEPENDS "${blob};${key}")
  set(${out_source} "${source}" PARENT_SCOPE)
endfunction()

# The manifest and icon resources, from the source tree's resources/ or the
# installed package's copy beside this file.
function(_talvor_onefile_resources work_dir icon_argument version_file out_rc)
  foreach(dir IN ITEMS "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/resources"
                       "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../resources")
    if(EXISTS "${dir}/TalvorResources.cmake")
      include("${dir}/TalvorResources.cmake")
      break()
    endif()
  endforeach()
  if(NOT COMMAND talvor_write_resource_script)
    message(FATAL_ERROR "talvor_add_onefile: the launcher's resources (manifest, icon) are missing "
      "beside ${CMAKE_CURRENT_FUNCTION_LIST_FILE}; reinstall Talvor Onefile")
  endif()
  set(icon "${TALVOR_ONEFILE_DEFAULT_ICON}")
  if(icon_argument)
    get_filename_component(icon "${icon_argument}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  talvor_version_block(version_block "${version_file}" ${ARGN})
  set(rc "${work_dir}/resources.rc")
  talvor_write_resource_script("${rc}" "${icon}" "${version_block}")
  set(${out_rc} "${rc}" PARENT_SCOPE)
endfunction()

# The prebuilt launcher of <kind> for the system being built for: the
# project's own target when it is part of this build, else the installed
# package's copy beside these files.
function(_talvor_prebuilt_launcher kind out_file out_depends)
  if(TARGET talvor_prebuilt_${kind})
    set(${out_file} "$<TARGET_FILE:talvor_prebuilt_${kind}>" PARENT_SCOPE)
    set(${out_depends} talvor_prebuilt_${kind} PARENT_SCOPE)
    return()
  endif()
  set(file "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../../talvor-onefile/launchers/${kind}")
  if(kind MATCHES "^windows-")
    string(APPEND file ".exe")
  endif()
  get_filename_component(file "${file}" ABSOLUTE)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "talvor_add_onefile: no prebuilt launcher at ${file}; install Talvor Onefile whole")
  endif()
  set(${out_file} "${file}" PARENT_SCOPE)
  set(${out_depends} "${file}" PARENT_SCOPE)
endfunction()

# The PREBUILT way: one talvor-pack step writes the executable. Reads the
# caller's pack_step, create_arguments, depends and blob-free arguments.
macro(_talvor_onefile_prebuilt name console spec icon work_dir)
  if(WIN32)
    set(_talvor_kind windows-gui)
  else()
    set(_talvor_kind linux)
  endif()
  if(${console})
    string(REGEX REPLACE "-gui$" "" _talvor_kind "${_talvor_kind}")
    string(APPEND _talvor_kind "-console")
  endif()
  _talvor_prebuilt_launcher(${_talvor_kind} _talvor_launcher_file _talvor_launcher_depends)
  set(_talvor_output "${CMAKE_CURRENT_BINARY_DIR}/${name}${CMAKE_EXECUTABLE_SUFFIX}")
  set(_talvor_arguments create -o "${_talvor_output}" --launcher "${_talvor_launcher_file}" --level "${level}"
      --depfile "${work_dir}/${name}.d" ${pack_arguments})
  if(NOT "${spec}" STREQUAL "")
    list(APPEND _talvor_arguments --target-directory "${spec}")
  endif()
  if(NOT "${icon}" STREQUAL "")
    get_filename_component(_talvor_icon "${icon}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND _talvor_arguments --icon "${_talvor_icon}")
    list(APPEND depends "${_talvor_icon}")
  endif()
  list(APPEND _talvor_arguments ${_talvor_version_arguments})
  _talvor_onefile_pack_step("${_talvor_arguments}" _talvor_step)
  file(MAKE_DIRECTORY "${work_dir}")
  add_custom_command(
    OUTPUT "${_talvor_output}"
    COMMAND ${_talvor_step}
    DEPENDS ${depends} ${_talvor_launcher_depends}
    DEPFILE "${work_dir}/${name}.d"
    COMMENT "Completing the prebuilt launcher into ${name}"
    VERBATIM)
  # The step is the target <name>_onefile; <name> is the executable as an
  # imported target, so that $<TARGET_FILE:<name>> names it. (A custom
  # target named like its output file would clash with it in Ninja where
  # executables carry no suffix; and CMake takes a DEPENDS on the file of an
  # imported target for one on the target, so the file is a source.)
  add_custom_target(${name}_onefile ALL SOURCES "${_talvor_output}")
  add_executable(${name} IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${_talvor_output}")
endmacro()

# The directories where a Windows build finds the DLLs that its libraries
# import without the author packing them: the compilers' own library
# directories (and a "bin" beside each, where a native mingw keeps its
# DLLs), the mingw GCC directory that the clang toolchain file names, and
# the directories of the imported shared libraries that MAIN and FILES
# targets link.
function(_talvor_onefile_runtime_directories targets out_directories)
  set(dirs ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
  if(TALVOR_MINGW_GCC_DIR)
    list(APPEND dirs "${TALVOR_MINGW_GCC_DIR}")
  endif()
  set(result "")
  foreach(dir IN LISTS dirs)
    foreach(candidate IN ITEMS "${dir}" "${dir}/../bin")
      get_filename_component(candidate "${candidate}" ABSOLUTE)
      if(IS_DIRECTORY "${candidate}")
        list(APPEND result "${candidate}")
      endif()
    endforeach()
  endforeach()
  foreach(target IN LISTS targets)
    get_target_property(links "${target}" LINK_LIBRARIES)
    foreach(link IN LISTS links)
      if(TARGET "${link}")
        get_target_property(imported "${link}" IMPORTED)
        get_target_property(type "${link}" TYPE)
        if(imported AND type STREQUAL "SHARED_LIBRARY")
          list(APPEND result "$<TARGET_FILE_DIR:${link}>")
        endif()
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES result)
  set(${out_directories} "${result}" PARENT_SCOPE)
endfunction()

# The command that runs talvor-pack with <create_arguments>: on Windows,
# unless NO_RUNTIME_DLLS, through the script that adds the DLLs which the
# packed libraries import. Reads the caller's pack_command, library_targets
# and arg_NO_RUNTIME_DLLS.
macro(_talvor_onefile_pack_step create_arguments out_step)
  if(WIN32 AND NOT arg_NO_RUNTIME_DLLS)
    _talvor_onefile_runtime_directories("${library_targets}" _talvor_runtime_directories)
    # Each list reaches the script as one argument.
    string(REPLACE ";" "$<SEMICOLON>" _talvor_arguments_list "${create_arguments}")
    string(REPLACE ";" "$<SEMICOLON>" _talvor_directories_list "${_talvor_runtime_directories}")
    set(${out_step} "${CMAKE_COMMAND}" "-DPACK=${pack_command}" "-DARGUMENTS=${_talvor_arguments_list}"
        "-DDIRECTORIES=${_talvor_directories_list}" "-DOBJDUMP=${CMAKE_OBJDUMP}"
        -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TalvorRuntimeDlls.cmake")
  else()
    set(${out_step} ${pack_command} ${create_arguments})
  endif()
endmacro()

function(talvor_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;NO_RUNTIME_DLLS;PREBUILT"
    "MAIN;ICON;COMPRESSION_LEVEL;DESTINATION;TARGET_DIRECTORY" "FILES;DIRECTORIES;EXCLUDE;VERSION_INFO")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "talvor_add_onefile: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_MAIN)
    message(FATAL_ERROR "talvor_add_onefile: MAIN is required")
  endif()
  if((DEFINED arg_DESTINATION OR arg_EXCLUDE) AND NOT arg_DIRECTORIES)
    message(FATAL_ERROR "talvor_add_onefile: DESTINATION and EXCLUDE go with DIRECTORIES")
  endif()

  set(spec "")
  set(cached OFF)
  if(DEFINED arg_TARGET_DIRECTORY OR "TARGET_DIRECTORY" IN_LIST arg_KEYWORDS_MISSING_VALUES)
    set(spec "${arg_TARGET_DIRECTORY}")
    _talvor_onefile_check_spec("${spec}" cached)
  endif()

  _talvor_pack_tool(pack_command depends)
  _talvor_onefile_input("${arg_MAIN}" "" main_argument depends)
  set(library_targets "")
  foreach(item IN LISTS arg_MAIN arg_FILES)
    if(item MATCHES "^\\$<TARGET_FILE:([^>]+)>$")
      set(item "${CMAKE_MATCH_1}")
    endif()
    if(TARGET "${item}")
      list(APPEND library_targets "${item}")
    endif()
  endforeach()
  set(pack_arguments --main "${main_argument}")

  # FILES: each item, optionally followed by AS and the name to store it under.
  set(items ${arg_FILES})
  list(LENGTH items count)
  set(i 0)
  while(i LESS count)
    list(GET items ${i} item)
    math(EXPR next "${i} + 1")
    set(stored_name "")
    if(next LESS count)
      list(GET items ${next} keyword)
      if(keyword STREQUAL "AS")
        math(EXPR next "${i} + 2")
        if(NOT next LESS count)
          message(FATAL_ERROR "talvor_add_onefile: AS after ${item} needs a name")
        endif()
        list(GET items ${next} stored_name)
        math(EXPR next "${i} + 3")
      endif()
    endif()
    _talvor_onefile_input("${item}" "${stored_name}" file_argument depends)
    list(APPEND pack_arguments --file "${file_argument}")
    set(i ${next})
  endwhile()

  set(destination "${arg_DESTINATION}")
  string(REGEX REPLACE "^/+|/+$" "" destination "${destination}")
  foreach(dir IN LISTS arg_DIRECTORIES)
    set(place "${destination}")
    if(NOT dir MATCHES "/$")
      # Without a trailing slash the directory keeps its own name.
      get_filename_component(dir_name "${dir}" NAME)
      if(NOT place STREQUAL "")
        set(place "${place}/${dir_name}")
      else()
        set(place "${dir_name}")
      endif()
    endif()
    get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT IS_DIRECTORY "${dir}")
      message(FATAL_ERROR "talvor_add_onefile: DIRECTORIES ${dir} is not a directory")
    endif()
    list(APPEND pack_arguments --dir "${dir}=${place}")
  endforeach()
  foreach(pattern IN LISTS arg_EXCLUDE)
    list(APPEND pack_arguments --exclude "${pattern}")
  endforeach()

  if(DEFINED arg_COMPRESSION_LEVEL)
    set(level "${arg_COMPRESSION_LEVEL}")
  else()
    # Quick edit-build-run cycles; release builds pack as small as zstd can.
    set(level "$<IF:$<CONFIG:Release,MinSizeRel,RelWithDebInfo>,19,3>")
  endif()
  if(NOT WIN32)
    # A Linux package may hold names that Windows could not.
    list(APPEND pack_arguments --linux-only)
  endif()

  set(work_dir "${CMAKE_CURRENT_BINARY_DIR}/${name}_onefile")
  if(arg_PREBUILT OR MSVC)
    # VERSION_INFO as talvor-pack's options: PRODUCT_NAME -> --product-name.
    set(version_fields PRODUCT_NAME PRODUCT_VERSION FILE_VERSION COMPANY DESCRIPTION COPYRIGHT)
    cmake_parse_arguments(version "" "${version_fields}" "" ${arg_VERSION_INFO})
    if(version_UNPARSED_ARGUMENTS)
      message(FATAL_ERROR "VERSION_INFO: unknown arguments ${version_UNPARSED_ARGUMENTS}; known are ${version_fields}")
    endif()
    set(_talvor_version_arguments "")
    foreach(field IN LISTS version_fields)
      if(NOT "${version_${field}}" STREQUAL "")
        string(TOLOWER "--${field}" option)
        string(REPLACE "_" "-" option "${option}")
        list(APPEND _talvor_version_arguments "${option}" "${version_${field}}")
      endif()
    endforeach()
    _talvor_onefile_prebuilt("${name}" "${arg_CONSOLE}" "${spec}" "${arg_ICON}" "${work_dir}")
    return()
  endif()
  set(blob "${work_dir}/attached_data.bin")
  set(key "")
  set(key_output "")
  if(cached)
    set(key "${work_dir}/cache_key.bin")
    set(key_output "${key}")
    list(APPEND pack_arguments --cache-key "${key}")
  endif()
  file(MAKE_DIRECTORY "${work_dir}")
  # talvor-pack lists every file it read and every directory it walked in
  # the depfile: an edited, added, removed or renamed input re-packs, even
  # one that arrives with an old modification time.
  set(create_arguments create -o "${blob}" --level "${level}" --depfile "${blob}.d" ${pack_arguments})
  _talvor_onefile_pack_step("${create_arguments}" pack_step)
  add_custom_command(
    OUTPUT "${blob}" ${key_output}
    COMMAND ${pack_step}
    DEPENDS ${depends}
    DEPFILE "${blob}.d"
    COMMENT "Packing the attached data of ${name}"
    VERBATIM)
  set_source_files_properties("${blob}" PROPERTIES HEADER_FILE_ONLY ON GENERATED ON)

  _talvor_onefile_blob_source("${name}" "${blob}" "${spec}" "${key}" source)
  set(sources "${source}" "${blob}")
  if(WIN32)
    _talvor_onefile_resources("${work_dir}" "${arg_ICON}" "${name}${CMAKE_EXECUTABLE_SUFFIX}" rc ${arg_VERSION_INFO})
    list(APPEND sources "${rc}")
  endif()

  # CONSOLE: the launcher for console applications (console subsystem on
  # Windows; interrupts from the terminal are left to the application).
  set(launcher talvor_launcher)
  if(arg_CONSOLE)
    set(launcher talvor_launcher_console)
  endif()
  add_executable(${name} ${sources})
  if(TARGET ${launcher})
    target_link_libraries(${name} PRIVATE ${launcher})
  else()
    target_link_libraries(${name} PRIVATE talvor::${launcher})
  endif()
  if(NOT DEFINED CMAKE_CXX_LINK_EXECUTABLE)
    # The launcher needs no C++ runtime: a C project links it as C.
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
  endif()
  # Release launchers carry no symbols.
  target_link_options(${name} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()
