# talvor_add_onefile(<name> MAIN <target-or-file>
#                    [FILES <target-or-file>...] [DIRECTORIES <dir>...]
#                    [ICON <file.ico>] [COMPRESSION_LEVEL <n>] [CONSOLE])
#
# Builds the executable <name>: the launcher with the attached data linked
# into its read-only data. MAIN becomes the archive's first entry (the
# library whose run_code the launcher calls); FILES and the files below
# DIRECTORIES follow. talvor-pack always runs on the build machine: natively
# the in-tree target, when cross-compiling the executable named by
# TALVOR_PACK_EXECUTABLE or a host build of tools/pack.
#
# Used from the source tree (add_subdirectory) and from an installed package
# (find_package(TalvorOnefile CONFIG)), which defines the talvor:: targets.
include_guard(GLOBAL)

set(_talvor_onefile_dir "${CMAKE_CURRENT_LIST_DIR}")
get_filename_component(_talvor_onefile_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

set(TALVOR_PACK_EXECUTABLE "" CACHE FILEPATH "talvor-pack for the build machine (empty: build or find it)")

# Sets <out_command> and <out_depends> to the talvor-pack to run.
function(_talvor_pack_tool out_command out_depends)
  if(TALVOR_PACK_EXECUTABLE)
    set(${out_command} "${TALVOR_PACK_EXECUTABLE}" PARENT_SCOPE)
    set(${out_depends} "${TALVOR_PACK_EXECUTABLE}" PARENT_SCOPE)
  elseif(CMAKE_CROSSCOMPILING)
    # The target tool cannot run here: build tools/pack for the build
    # machine in a project of its own, without the cross toolchain.
    if(NOT TARGET talvor_pack_host)
      if(NOT EXISTS "${_talvor_onefile_repo}/tools/pack/CMakeLists.txt")
        message(FATAL_ERROR "talvor_add_onefile: set TALVOR_PACK_EXECUTABLE to a talvor-pack for the build machine")
      endif()
      include(ExternalProject)
      set(host_dir "${CMAKE_BINARY_DIR}/talvor-pack-host")
      ExternalProject_Add(talvor_pack_host
        SOURCE_DIR "${_talvor_onefile_repo}/tools/pack"
        BINARY_DIR "${host_dir}"
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=
        INSTALL_COMMAND ""
        BUILD_BYPRODUCTS "${host_dir}/talvor-pack"
        BUILD_ALWAYS ON)
    endif()
    set(${out_command} "${CMAKE_BINARY_DIR}/talvor-pack-host/talvor-pack" PARENT_SCOPE)
    set(${out_depends} talvor_pack_host "${CMAKE_BINARY_DIR}/talvor-pack-host/talvor-pack" PARENT_SCOPE)
  elseif(TARGET talvor-pack)
    set(${out_command} "$<TARGET_FILE:talvor-pack>" PARENT_SCOPE)
    set(${out_depends} talvor-pack PARENT_SCOPE)
  elseif(TARGET talvor::talvor-pack)
    set(${out_command} "$<TARGET_FILE:talvor::talvor-pack>" PARENT_SCOPE)
    set(${out_depends} talvor::talvor-pack PARENT_SCOPE)
  else()
    message(FATAL_ERROR "talvor_add_onefile: no talvor-pack; set TALVOR_PACK_EXECUTABLE")
  endif()
endfunction()

# The file a MAIN or FILES item stands for: a target's file or a path.
function(_talvor_onefile_input item out_file out_depends)
  if(TARGET "${item}")
    set(${out_file} "$<TARGET_FILE:${item}>" PARENT_SCOPE)
    set(${out_depends} "${item}" PARENT_SCOPE)
  elseif(item MATCHES "^\\$<")
    # A generator expression, such as $<TARGET_FILE:lib>: the target it
    # names is also a dependency, for generators that order by target.
    set(depends "${item}")
    if(item MATCHES "^\\$<TARGET_[A-Z_]*FILE:([^>]+)>$" AND TARGET "${CMAKE_MATCH_1}")
      list(APPEND depends "${CMAKE_MATCH_1}")
    endif()
    set(${out_file} "${item}" PARENT_SCOPE)
    set(${out_depends} "${depends}" PARENT_SCOPE)
  else()
    get_filename_component(file "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    set(${out_file} "${file}" PARENT_SCOPE)
    set(${out_depends} "${file}" PARENT_SCOPE)
  endif()
endfunction()

function(talvor_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE" "MAIN;ICON;COMPRESSION_LEVEL" "FILES;DIRECTORIES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "talvor_add_onefile: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_MAIN)
    message(FATAL_ERROR "talvor_add_onefile: MAIN is required")
  endif()

  _talvor_pack_tool(pack_command pack_depends)
  set(depends ${pack_depends})

  _talvor_onefile_input("${arg_MAIN}" main_file main_depends)
  list(APPEND depends ${main_depends})
  if(TARGET "${arg_MAIN}" AND NOT WIN32)
    get_target_property(main_type "${arg_MAIN}" TYPE)
    if(main_type STREQUAL "SHARED_LIBRARY" OR main_type STREQUAL "MODULE_LIBRARY")
      # The launcher loads the main library from the unpacked directory; its
      # own libraries lie next to it. Only there: a packed library that still
      # named the build tree would work on the build machine alone.
      set_target_properties("${arg_MAIN}" PROPERTIES
        BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN")
    endif()
  endif()

  set(inputs)
  foreach(item IN LISTS arg_FILES)
    _talvor_onefile_input("${item}" file file_depends)
    list(APPEND inputs "${file}")
    list(APPEND depends ${file_depends})
  endforeach()
  foreach(dir IN LISTS arg_DIRECTORIES)
    get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    # CONFIGURE_DEPENDS: a file added to or removed from the directory
    # re-runs the glob, and so the packing, at the next build.
    file(GLOB_RECURSE dir_files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${dir}/*")
    list(APPEND inputs "${dir}")
    list(APPEND depends ${dir_files})
  endforeach()

  set(level_option)
  if(DEFINED arg_COMPRESSION_LEVEL)
    set(level_option --level ${arg_COMPRESSION_LEVEL})
  endif()

  set(work_dir "${CMAKE_CURRENT_BINARY_DIR}/${name}_onefile")
  set(blob "${work_dir}/attached_data.bin")
  add_custom_command(
    OUTPUT "${blob}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${work_dir}"
    COMMAND ${pack_command} create -o "${blob}" --main "${main_file}" ${level_option} -- ${inputs}
    DEPENDS ${depends}
    COMMENT "Packing the attached data of ${name}"
    VERBATIM)

  # The blob goes into read-only data through .incbin in a top-level asm
  # block of a C++ source, which needs no ASM language in the caller's
  # project. The size is a link-time constant computed by the assembler.
  string(REPLACE "\\" "\\\\" asm_path "${blob}")
  string(REPLACE "\"" "\\\"" asm_path "${asm_path}")
  string(REPLACE "\\" "\\\\" asm_path "${asm_path}")
  string(REPLACE "\"" "\\\"" asm_path "${asm_path}")
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
  set(source "${work_dir}/attached_data.cpp")
  file(CONFIGURE OUTPUT "${source}" @ONLY CONTENT
"// Generated by talvor_add_onefile for ${name}: the attached data as the
// symbols talvor_attached_data and talvor_attached_size.
__asm__(
\"${push}\\n\"
\".balign 16\\n\"
\".globl talvor_attached_data\\n\"
${type_data}\"talvor_attached_data:\\n\"
\".incbin \\\"${asm_path}\\\"\\n\"
\"talvor_attached_data_end:\\n\"
${size_data}\".balign 8\\n\"
\".globl talvor_attached_size\\n\"
${type_size}\"talvor_attached_size:\\n\"
\".quad talvor_attached_data_end - talvor_attached_data\\n\"
\"${pop}\\n\"
${note});
")
  set_source_files_properties("${source}" PROPERTIES OBJECT_DEPENDS "${blob}")
  set_source_files_properties("${blob}" PROPERTIES HEADER_FILE_ONLY ON GENERATED ON)

  set(sources "${source}" "${blob}")
  if(WIN32)
    set(resources_file "${_talvor_onefile_repo}/resources/TalvorResources.cmake")
    if(EXISTS "${resources_file}")
      include("${resources_file}")
      set(icon "${TALVOR_ONEFILE_DEFAULT_ICON}")
      if(arg_ICON)
        get_filename_component(icon "${arg_ICON}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      endif()
      talvor_write_resource_script("${work_dir}/resources.rc" "${icon}")
      list(APPEND sources "${work_dir}/resources.rc")
    endif()
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
endfunction()

# Installation, from the source tree only: the tool, the launcher's static
# libraries and these CMake files, for find_package(TalvorOnefile CONFIG).
if(TARGET talvor_launcher AND TARGET talvor-pack AND NOT TALVOR_ONEFILE_NO_INSTALL)
  include(GNUInstallDirs)
  include(CMakePackageConfigHelpers)
  set(_talvor_cmake_dest "${CMAKE_INSTALL_LIBDIR}/cmake/TalvorOnefile")
  # An installed onefile executable needs the archives only, no headers.
  set(_talvor_export_targets talvor_core talvor_launcher)
  if(TARGET talvor_zstd)
    # The Windows build compiles zstd itself; it ships with the launcher.
    list(APPEND _talvor_export_targets talvor_zstd)
  endif()
  install(TARGETS ${_talvor_export_targets} EXPORT TalvorOnefileTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(EXPORT TalvorOnefileTargets NAMESPACE talvor:: DESTINATION "${_talvor_cmake_dest}")
  configure_package_config_file("${_talvor_onefile_dir}/TalvorOnefileConfig.cmake.in"
    "${CMAKE_BINARY_DIR}/TalvorOnefileConfig.cmake" INSTALL_DESTINATION "${_talvor_cmake_dest}")
  write_basic_package_version_file("${CMAKE_BINARY_DIR}/TalvorOnefileConfigVersion.cmake"
    VERSION "${TalvorOnefile_VERSION}" COMPATIBILITY SameMajorVersion)
  install(FILES
    "${CMAKE_BINARY_DIR}/TalvorOnefileConfig.cmake"
    "${CMAKE_BINARY_DIR}/TalvorOnefileConfigVersion.cmake"
    "${_talvor_onefile_dir}/TalvorOnefile.cmake"
    DESTINATION "${_talvor_cmake_dest}")
endif()
