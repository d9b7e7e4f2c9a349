# The launcher's Windows resources: the application manifest and the default
# icon group.
#
#   TALVOR_ONEFILE_MANIFEST      the manifest, in the source tree
#   TALVOR_ONEFILE_DEFAULT_ICON  the default icon, generated into the build tree
#                                (the installed package carries it ready made)
#   talvor_write_resource_script(<out.rc> <icon>)
#                                writes a resource script with the manifest as
#                                resource 1 of type 24 (RT_MANIFEST) and <icon>
#                                as icon group 1
#
# The icon is made at configure time by make_icon.py, again only when the
# script changed.
set(TALVOR_ONEFILE_MANIFEST "${CMAKE_CURRENT_LIST_DIR}/launcher.manifest")

set(_talvor_icon_script "${CMAKE_CURRENT_LIST_DIR}/make_icon.py")
if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/talvor_default.ico")
  # The installed package carries the icon made when it was built.
  set(TALVOR_ONEFILE_DEFAULT_ICON "${CMAKE_CURRENT_LIST_DIR}/talvor_default.ico")
else()
  set(TALVOR_ONEFILE_DEFAULT_ICON "${CMAKE_BINARY_DIR}/talvor_resources/talvor_default.ico")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_talvor_icon_script}")
  if(NOT EXISTS "${TALVOR_ONEFILE_DEFAULT_ICON}" OR "${_talvor_icon_script}" IS_NEWER_THAN "${TALVOR_ONEFILE_DEFAULT_ICON}")
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/talvor_resources")
    execute_process(
      COMMAND "${Python3_EXECUTABLE}" "${_talvor_icon_script}" "${TALVOR_ONEFILE_DEFAULT_ICON}"
      RESULT_VARIABLE _talvor_icon_result)
    if(NOT _talvor_icon_result EQUAL 0)
      file(REMOVE "${TALVOR_ONEFILE_DEFAULT_ICON}")
      message(FATAL_ERROR "make_icon.py failed: ${_talvor_icon_result}")
    endif()
  endif()
endif()

# windres reads the paths as C strings, in which a backslash or a quote would
# need escaping; such paths are refused rather than escaped. Type 24 is
# RT_MANIFEST, written as a number so that the script needs no Windows header.
function(talvor_write_resource_script out_rc icon)
  get_filename_component(icon_path "${icon}" ABSOLUTE)
  file(TO_CMAKE_PATH "${icon_path}" icon_path)
  set(manifest_path "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/launcher.manifest")
  foreach(path IN ITEMS "${icon_path}" "${manifest_path}")
    if(path MATCHES "[\"\\\\]")
      message(FATAL_ERROR "talvor_write_resource_script: path holds a quote or backslash: ${path}")
    endif()
  endforeach()
  # An unchanged script stays untouched, so nothing rebuilds.
  _talvor_onefile_write("${out_rc}" "1 24 \"${manifest_path}\"\n1 ICON \"${icon_path}\"\n")
  # windres writes no list of the files it read: without this, a changed icon
  # or manifest would not reach an executable built before.
  set_source_files_properties("${out_rc}" PROPERTIES OBJECT_DEPENDS "${icon_path};${manifest_path}")
endfunction()
