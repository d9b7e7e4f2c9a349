# The zstd library as the target talvor::zstd.
#
# Natively it is Debian's libzstd (static archive when there is one). For the
# Windows cross build it is compiled from the zstd source package that
# scripts/deps.sh unpacks under build/deps/zstd, never from committed sources.
if(TARGET talvor::zstd)
  return()
endif()

if(WIN32)
  set(TALVOR_ZSTD_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../build/deps/zstd"
      CACHE PATH "zstd source tree for the Windows build")
  if(NOT EXISTS "${TALVOR_ZSTD_SOURCE_DIR}/lib/zstd.h")
    get_filename_component(deps_script "${CMAKE_CURRENT_LIST_DIR}/../scripts/deps.sh" ABSOLUTE)
    message(FATAL_ERROR "zstd sources for the Windows build not found in ${TALVOR_ZSTD_SOURCE_DIR}: "
      "run ${deps_script} once (it fetches Debian's zstd source package there), "
      "or set TALVOR_ZSTD_SOURCE_DIR to an unpacked zstd source tree")
  endif()
  get_filename_component(zstd_lib "${TALVOR_ZSTD_SOURCE_DIR}/lib" ABSOLUTE)
  file(GLOB zstd_sources
       "${zstd_lib}/common/*.c" "${zstd_lib}/compress/*.c" "${zstd_lib}/decompress/*.c")
  add_library(talvor_zstd STATIC ${zstd_sources})
  target_include_directories(talvor_zstd SYSTEM PUBLIC "$<BUILD_INTERFACE:${zstd_lib}>")
  target_compile_definitions(talvor_zstd PRIVATE ZSTD_DISABLE_ASM ZSTD_MULTITHREAD)
  set_target_properties(talvor_zstd PROPERTIES C_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE OFF)
  target_compile_options(talvor_zstd PRIVATE -O2 -w)
  find_package(Threads REQUIRED)
  target_link_libraries(talvor_zstd PUBLIC Threads::Threads)
  add_library(talvor::zstd ALIAS talvor_zstd)
else()
  find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
  find_library(ZSTD_LIBRARY NAMES libzstd.a zstd REQUIRED)
  add_library(talvor::zstd UNKNOWN IMPORTED GLOBAL)
  set_target_properties(talvor::zstd PROPERTIES
    IMPORTED_LOCATION "${ZSTD_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${ZSTD_INCLUDE_DIR}")
  find_package(Threads REQUIRED)
  set_property(TARGET talvor::zstd APPEND PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
