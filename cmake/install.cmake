# The install is one program folder, since the program keeps everything beside its executable:
#   cmake --install build --prefix ~/Kestrelbox
# lays it out, and `cpack -G TGZ` in the build folder packs the same folder. Every rule belongs to the
# component Kestrelbox, so that the install test can name it and keep the build's install_manifest.txt.

# The program writes its settings, log and staging folder beside itself, so the default prefix /usr/local,
# which one gets by leaving out --prefix, would be both the wrong layout and unwritable for its user.
install(CODE [[
  get_filename_component(kb_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  if(kb_prefix STREQUAL "/usr/local")
    message(FATAL_ERROR "Kestrelbox installs into a program folder of its own: name it, as in "
      "cmake --install <build folder> --prefix ~/Kestrelbox")
  endif()
]] COMPONENT Kestrelbox)
install(TARGETS Kestrelbox RUNTIME DESTINATION . COMPONENT Kestrelbox)
install(FILES
  ${PROJECT_SOURCE_DIR}/resources/Readme.txt
  ${PROJECT_SOURCE_DIR}/resources/icons/kestrelbox.svg
  ${PROJECT_SOURCE_DIR}/resources/kestrelbox.1
  DESTINATION . COMPONENT Kestrelbox)

# The store is the user's once it is there: installing again (an update) must keep the backup sets, the
# registered files and the history. It stays out of the install manifest for the same reason, so that
# removing the listed files never takes it along.
install(CODE [[
  get_filename_component(kb_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  set(kb_store "$ENV{DESTDIR}${kb_prefix}/Kestrelbox.mdb")
  if(EXISTS "${kb_store}" OR IS_SYMLINK "${kb_store}")
    message(STATUS "Kestrelbox.mdb already present in ${kb_prefix}: kept as it is")
  else()
    message(STATUS "Installing: ${kb_store} (a new store)")
    execute_process(COMMAND "$<TARGET_FILE:kb_make_store>" "${kb_store}" RESULT_VARIABLE kb_result)
    if(NOT kb_result EQUAL 0)
      message(FATAL_ERROR "kb_make_store could not make ${kb_store}")
    endif()
  endif()
]] COMPONENT Kestrelbox)

# The menu entry names the installed executable and icon by absolute paths, so it is written at install
# time, when the prefix is known. Writes ${kb_entry} with the (escaped) values KB_EXEC and KB_ICON.
set(KB_DESKTOP_TEMPLATE ${PROJECT_SOURCE_DIR}/resources/kestrelbox.desktop.in)
string(CONFIGURE [[
  file(READ "@KB_DESKTOP_TEMPLATE@" kb_text)
  string(CONFIGURE "${kb_text}" kb_text @ONLY)
  file(WRITE "${kb_entry}" "${kb_text}")
]] kb_write_entry @ONLY)

set(kb_install_entry [[
  get_filename_component(kb_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  # Exec holds a quoted argument: ", `, $ and \ take a backslash and % is doubled. Then both values take
  # the escapes of the file format, where a backslash is written twice.
  set(KB_EXEC "${kb_prefix}/Kestrelbox")
  foreach(c "\\" "\"" "`" "$")
    string(REPLACE "${c}" "\\${c}" KB_EXEC "${KB_EXEC}")
  endforeach()
  string(REPLACE "%" "%%" KB_EXEC "\"${KB_EXEC}\"")
  set(KB_ICON "${kb_prefix}/kestrelbox.svg")
  foreach(v KB_EXEC KB_ICON)
    string(REPLACE "\\" "\\\\" ${v} "${${v}}")
    string(REPLACE "\n" "\\n" ${v} "${${v}}")
    string(REPLACE "\t" "\\t" ${v} "${${v}}")
    string(REPLACE "\r" "\\r" ${v} "${${v}}")
  endforeach()
  set(kb_entry "$ENV{DESTDIR}${kb_prefix}/kestrelbox.desktop")
  message(STATUS "Installing: ${kb_entry}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${kb_entry}")
]])
install(CODE "${kb_install_entry}${kb_write_entry}" COMPONENT Kestrelbox)

# A package is unpacked anywhere, so its entry cannot know the folder: it names the program and the icon
# plainly, and the one who registers it sets both (README, Install).
string(CONFIGURE [[
  set(kb_entry "${CPACK_TEMPORARY_DIRECTORY}/kestrelbox.desktop")
  set(KB_EXEC Kestrelbox)
  set(KB_ICON kestrelbox)
  @kb_write_entry@
]] kb_package_entry @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/kb_package_entry.cmake "${kb_package_entry}")

set(CPACK_PACKAGE_NAME Kestrelbox)
set(CPACK_PACKAGE_VENDOR "Kestrelbox Project")
set(CPACK_PACKAGE_CONTACT "${KB_MAIL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Small single-user backup tool with a Japanese interface")
set(CPACK_GENERATOR TGZ)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/kb_package_entry.cmake)
include(CPack)

# Installs the build twice into a temporary folder, checks the entry and the manual page, starts the
# installed program; the installs that must fail; and the package. cpack first brings the build up to date,
# so that test runs alone.
foreach(mode install install_refused package)
  add_test(NAME e2e.${mode}
    COMMAND ${CMAKE_COMMAND} -DKB_BUILD=${CMAKE_BINARY_DIR} -DKB_MODE=${mode}
      -P ${PROJECT_SOURCE_DIR}/tests/e2e/install_test.cmake)
  set_tests_properties(e2e.${mode} PROPERTIES TIMEOUT 600 LABELS e2e)
endforeach()
set_tests_properties(e2e.package PROPERTIES RUN_SERIAL TRUE)
