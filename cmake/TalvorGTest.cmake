# GoogleTest as the targets talvor_gtest and talvor_gtest_main, and
# TALVOR_GTEST_FOUND: false, with no targets, when it is not installed.
#
# Natively it is Debian's libgtest-dev. For the Windows cross build it is
# compiled from Debian's googletest sources in /usr/src/googletest, with the
# runtime shared as the rest of the build has it; test programs link
# statically, since Wine cannot find libstdc++-6.dll and the like beside them.
if(TARGET talvor_gtest)
  set(TALVOR_GTEST_FOUND TRUE)
  return()
endif()
set(TALVOR_GTEST_FOUND FALSE)

if(WIN32)
  set(TALVOR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
  if(NOT EXISTS "${TALVOR_GTEST_SOURCE_DIR}/CMakeLists.txt")
    set(TALVOR_GTEST_MISSING "GoogleTest sources not found in ${TALVOR_GTEST_SOURCE_DIR} (Debian: googletest)")
    return()
  endif()
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory("${TALVOR_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL)
  add_library(talvor_gtest INTERFACE)
  target_link_libraries(talvor_gtest INTERFACE gtest)
  target_link_options(talvor_gtest INTERFACE -static)
  add_library(talvor_gtest_main INTERFACE)
  target_link_libraries(talvor_gtest_main INTERFACE gtest_main talvor_gtest)
else()
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    set(TALVOR_GTEST_MISSING "GoogleTest not found (Debian: libgtest-dev)")
    return()
  endif()
  add_library(talvor_gtest INTERFACE)
  target_link_libraries(talvor_gtest INTERFACE GTest::gtest)
  add_library(talvor_gtest_main INTERFACE)
  target_link_libraries(talvor_gtest_main INTERFACE GTest::gtest_main talvor_gtest)
endif()
set(TALVOR_GTEST_FOUND TRUE)
