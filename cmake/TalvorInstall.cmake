# Install rules: talvor-pack, the launcher's static libraries, the resources
# and these CMake files, for find_package(TalvorOnefile CONFIG).
#
# The build machine's build and the Windows cross build install into the
# same prefix side by side: each exports its targets to a file of its own,
# the Windows archives go to a directory of their own, and the package
# config picks the file that matches the system being built for. A Windows
# build then finds the build machine's bin/talvor-pack in the same prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_talvor_cmake_dest "${CMAKE_INSTALL_LIBDIR}/cmake/TalvorOnefile")
if(WIN32)
  set(_talvor_system windows)
  set(_talvor_lib_dest "${CMAKE_INSTALL_LIBDIR}/x86_64-w64-mingw32")
else()
  set(_talvor_system linux)
  set(_talvor_lib_dest "${CMAKE_INSTALL_LIBDIR}")
endif()

# An installed onefile executable needs the archives only, no headers.
set(_talvor_export_targets talvor_core talvor_launcher)
if(TARGET talvor_launcher_console)
  list(APPEND _talvor_export_targets talvor_launcher_console)
endif()
if(TARGET talvor_zstd)
  # The Windows build compiles zstd itself; it ships with the launcher.
  list(APPEND _talvor_export_targets talvor_zstd)
endif()
install(TARGETS ${_talvor_export_targets} EXPORT TalvorOnefileTargets
        ARCHIVE DESTINATION "${_talvor_lib_dest}")
# The prebuilt launchers, where talvor-pack looks for them by name: beside
# its own bin directory, the same in every package.
install(TARGETS ${TALVOR_PREBUILT_TARGETS} RUNTIME DESTINATION lib/talvor-onefile/launchers
        COMPONENT launchers)
install(TARGETS talvor-pack EXPORT TalvorOnefileTargets RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(EXPORT TalvorOnefileTargets NAMESPACE talvor::
        FILE "TalvorOnefileTargets-${_talvor_system}.cmake" DESTINATION "${_talvor_cmake_dest}")

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/TalvorOnefileConfig.cmake.in"
  "${CMAKE_BINARY_DIR}/TalvorOnefileConfig.cmake" INSTALL_DESTINATION "${_talvor_cmake_dest}")
# No architecture check: the one package serves the build machine and the
# Windows cross build, and the config file picks the targets.
write_basic_package_version_file("${CMAKE_BINARY_DIR}/TalvorOnefileConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  "${CMAKE_BINARY_DIR}/TalvorOnefileConfig.cmake"
  "${CMAKE_BINARY_DIR}/TalvorOnefileConfigVersion.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/TalvorOnefile.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/TalvorRuntimeDlls.cmake"
  DESTINATION "${_talvor_cmake_dest}")

# The toolchain files, for a find_package user's cross build, with the Wine
# runner they name beside the directory that holds them.
install(FILES
  "${CMAKE_CURRENT_LIST_DIR}/toolchains/mingw-w64.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/toolchains/mingw-w64-clang.cmake"
  DESTINATION "${_talvor_cmake_dest}/toolchains")
install(PROGRAMS "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh" DESTINATION "${_talvor_cmake_dest}")

# What talvor_add_onefile needs at build time for Windows: the resource
# script writer, the manifest and the default icon, made once here so that
# an author's build needs no Python.
if(WIN32)
  include("${PROJECT_SOURCE_DIR}/resources/TalvorResources.cmake")
  install(FILES
    "${PROJECT_SOURCE_DIR}/resources/TalvorResources.cmake"
    "${TALVOR_ONEFILE_MANIFEST}"
    "${TALVOR_ONEFILE_DEFAULT_ICON}"
    DESTINATION "${_talvor_cmake_dest}/resources")
endif()
