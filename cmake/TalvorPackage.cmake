# The release archives, made with CPack (`make release`):
#   Linux:   a .tar.gz with bin/talvor-pack, the prebuilt launchers of both
#            systems (the Windows ones from the Windows build named by
#            TALVOR_PACKAGE_WINDOWS_LAUNCHERS), and the CMake package;
#   Windows: a .zip with bin/talvor-pack.exe, the Windows prebuilt launchers
#            and the CMake package for mingw-w64 users.
# An author unpacks one anywhere and runs talvor-pack, which finds the
# launchers in ../lib/talvor-onefile/launchers beside its own directory.
set(TALVOR_PACKAGE_WINDOWS_LAUNCHERS "" CACHE PATH
    "A Windows build tree whose prebuilt launchers the Linux archive carries too")

set(CPACK_PACKAGE_NAME talvor-onefile)
set(CPACK_PACKAGE_VENDOR "Talvor Onefile")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "One-file executables from a main library and its files")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-x86_64)
  if(TALVOR_PACKAGE_WINDOWS_LAUNCHERS)
    # This build whole, and of the Windows build only its launchers.
    set(CPACK_INSTALL_CMAKE_PROJECTS
        "${CMAKE_BINARY_DIR};TalvorOnefile;ALL;/"
        "${TALVOR_PACKAGE_WINDOWS_LAUNCHERS};TalvorOnefile;launchers;/")
  endif()
endif()
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
include(CPack)
