# The launcher's Windows resources: the application manifest and the default
# icon group.
#
#   TALVOR_ONEFILE_MANIFEST      the manifest, in the source tree
#   TALVOR_ONEFILE_DEFAULT_ICON  the default icon, generated into the build tree
#                                (the installed package carries it ready made)
#   talvor_write_resource_script(<out.rc> <icon> [<version block>])
#                                writes a resource script with the manifest as
#                                resource 1 of type 24 (RT_MANIFEST), <icon>
#                                as icon group 1, and the block if given
#   talvor_version_block(<out_var> <file name> [PRODUCT_NAME <text>]
#                        [PRODUCT_VERSION <a.b.c.d>] [FILE_VERSION <a.b.c.d>]
#                        [COMPANY <text>] [DESCRIPTION <text>] [COPYRIGHT <text>])
#                                sets <out_var> to a VERSIONINFO block (the
#                                same resource as talvor-pack --product-name
#                                and its kin write), or to nothing when no
#                                text is given
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
  set(version_block "${ARGV2}")
  get_filename_component(icon_path "${icon}" ABSOLUTE)
  file(TO_CMAKE_PATH "${icon_path}" icon_path)
  set(manifest_path "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/launcher.manifest")
  foreach(path IN ITEMS "${icon_path}" "${manifest_path}")
    if(path MATCHES "[\"\\\\]")
      message(FATAL_ERROR "talvor_write_resource_script: path holds a quote or backslash: ${path}")
    endif()
  endforeach()
  # An unchanged script stays untouched, so nothing rebuilds.
  _talvor_onefile_write("${out_rc}" "1 24 \"${manifest_path}\"\n1 ICON \"${icon_path}\"\n${version_block}")
  # windres writes no list of the files it read: without this, a changed icon
  # or manifest would not reach an executable built before.
  set_source_files_properties("${out_rc}" PROPERTIES OBJECT_DEPENDS "${icon_path};${manifest_path}")
endfunction()

# Versions are "a[.b[.c[.d]]]" with numbers up to 65535; the file version
# defaults to the product version; OriginalFilename is <file name> and
# InternalName the same without its extension. The strings go into the
# table for U.S. English in UTF-16 (040904B0), read from a script in UTF-8;
# in the resource compiler's string syntax a quote is doubled and a
# backslash escaped.
function(talvor_version_block out_var file_name)
  set(fields PRODUCT_NAME PRODUCT_VERSION FILE_VERSION COMPANY DESCRIPTION COPYRIGHT)
  cmake_parse_arguments(PARSE_ARGV 2 v "" "${fields}" "")
  if(v_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "VERSION_INFO: unknown arguments ${v_UNPARSED_ARGUMENTS}; known are ${fields}")
  endif()
  set(given OFF)
  foreach(field IN LISTS fields)
    if(NOT "${v_${field}}" STREQUAL "")
      set(given ON)
    endif()
  endforeach()
  if(NOT given)
    set(${out_var} "" PARENT_SCOPE)
    return()
  endif()
  if("${v_FILE_VERSION}" STREQUAL "")
    set(v_FILE_VERSION "${v_PRODUCT_VERSION}")
  endif()
  foreach(kind IN ITEMS FILE PRODUCT)
    set(numbers 0 0 0 0)
    if(NOT "${v_${kind}_VERSION}" STREQUAL "")
      if(NOT v_${kind}_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
        message(FATAL_ERROR "VERSION_INFO ${kind}_VERSION \"${v_${kind}_VERSION}\": a version is a[.b[.c[.d]]], "
          "numbers up to 65535")
      endif()
      string(REPLACE "." ";" parts "${v_${kind}_VERSION}")
      set(i 0)
      foreach(part IN LISTS parts)
        if(part GREATER 65535)
          message(FATAL_ERROR "VERSION_INFO ${kind}_VERSION \"${v_${kind}_VERSION}\": numbers go up to 65535")
        endif()
        list(REMOVE_AT numbers ${i})
        list(INSERT numbers ${i} ${part})
        math(EXPR i "${i} + 1")
      endforeach()
    endif()
    string(REPLACE ";" "," ${kind}_numbers "${numbers}")
  endforeach()
  string(REGEX REPLACE "\\.[^.]*$" "" internal_name "${file_name}")
  set(strings "")
  foreach(pair IN ITEMS "CompanyName=COMPANY" "FileDescription=DESCRIPTION" "FileVersion=FILE_VERSION"
                        "InternalName=internal_name" "LegalCopyright=COPYRIGHT" "OriginalFilename=file_name"
                        "ProductName=PRODUCT_NAME" "ProductVersion=PRODUCT_VERSION")
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 variable)
    if(variable MATCHES "^[A-Z_]+$")
      set(value "${v_${variable}}")
    else()
      set(value "${${variable}}")
    endif()
    if(NOT value STREQUAL "")
      string(REPLACE "\\" "\\\\" value "${value}")
      string(REPLACE "\"" "\"\"" value "${value}")
      string(APPEND strings "      VALUE \"${key}\", \"${value}\"\n")
    endif()
  endforeach()
  set(${out_var} "#pragma code_page(65001)
1 VERSIONINFO
FILEVERSION ${FILE_numbers}
PRODUCTVERSION ${PRODUCT_numbers}
FILEFLAGSMASK 0x3f
FILEFLAGS 0
FILEOS 0x40004
FILETYPE 1
FILESUBTYPE 0
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904B0\"
    BEGIN
${strings}    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
" PARENT_SCOPE)
endfunction()
