# cmake -DKB_BUILD=<build folder> -DKB_MODE=install|install_refused|package -P install_test.cmake
# The install as a user runs it, into a temporary folder that is removed at the end, also after a failure.
execute_process(COMMAND mktemp -d -t kbinstall.XXXXXX OUTPUT_VARIABLE root OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
set(install ${CMAKE_COMMAND} --install ${KB_BUILD} --component Kestrelbox)

function(fail text)
  file(REMOVE_RECURSE "${root}")
  message(FATAL_ERROR "${text}")
endfunction()

# Runs the command after COMMAND: its status must be 0 (with FAILS: not 0), and its standard output and
# error together must hold `text`, or be empty when `text` is.
function(expect what text)
  cmake_parse_arguments(PARSE_ARGV 2 arg FAILS "" COMMAND)
  execute_process(COMMAND ${arg_COMMAND} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out
    TIMEOUT 300)
  # As in the program harness: the toolkit notes a missing XDG_RUNTIME_DIR before the program can silence it.
  string(REGEX REPLACE "(^|\n)QStandardPaths:[^\n]*\n" "\\1" out "${out}")
  string(FIND "${out}" "${text}" at)
  if(result EQUAL 0 AND arg_FAILS OR NOT result EQUAL 0 AND NOT arg_FAILS OR at EQUAL -1
     OR text STREQUAL "" AND NOT out STREQUAL "")
    fail("${what}: status ${result}\n${out}")
  endif()
endfunction()

# The program folder holds these files and nothing else, and its menu entry is valid and runs `exec`.
function(check_folder dir exec)
  file(GLOB names RELATIVE "${dir}" "${dir}/*")
  list(SORT names)
  if(NOT names STREQUAL "Kestrelbox;Kestrelbox.mdb;Readme.txt;kestrelbox.1;kestrelbox.desktop;kestrelbox.svg")
    fail("${dir} holds: ${names}")
  endif()
  expect("desktop-file-validate" "" COMMAND desktop-file-validate "${dir}/kestrelbox.desktop")
  file(STRINGS "${dir}/kestrelbox.desktop" line REGEX "^Exec=")
  if(NOT line STREQUAL "Exec=${exec}")
    fail("menu entry in ${dir}: ${line}")
  endif()
endfunction()

if(KB_MODE STREQUAL "package")
  # cpack brings the build up to date first: this test runs alone.
  file(MAKE_DIRECTORY "${root}/unpacked")
  expect(cpack "generated." COMMAND ${CMAKE_COMMAND} -E chdir ${KB_BUILD} ${CMAKE_CPACK_COMMAND} -G TGZ
    -B "${root}")
  file(GLOB package "${root}/*.tar.gz")
  expect(unpacking "" COMMAND ${CMAKE_COMMAND} -E chdir "${root}/unpacked"
    ${CMAKE_COMMAND} -E tar xzf "${package}")
  file(GLOB top "${root}/unpacked/*")
  check_folder("${top}" Kestrelbox)

elseif(KB_MODE STREQUAL "install_refused")
  # Root writes anywhere, so no folder here is unwritable by its mode: the default prefix (staged under
  # DESTDIR, so that a broken guard cannot write into /usr/local), a folder under a regular file, and a
  # read-only mount.
  expect("install without --prefix" "name it, as in" FAILS
    COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${root}/stage" ${install})
  file(WRITE "${root}/file" "")
  expect("install under a regular file" "CMake Error" FAILS
    COMMAND ${install} --prefix "${root}/file/Kestrelbox")
  if(EXISTS "${root}/stage")
    fail("install without --prefix wrote into ${root}/stage")
  endif()
  file(MAKE_DIRECTORY "${root}/ro")
  set(read_only unshare --map-root-user --mount
    sh -c "mount -t tmpfs -o ro tmpfs \"$1\" && shift && exec \"$@\"" sh "${root}/ro")
  execute_process(COMMAND ${read_only} true RESULT_VARIABLE no_mount OUTPUT_QUIET ERROR_QUIET)
  if(no_mount)
    message(NOTICE "SKIPPED: the read-only folder case (no read-only mount in a private namespace here)")
  else()
    expect("install into a read-only folder" "Read-only file system" FAILS
      COMMAND ${read_only} ${install} --prefix "${root}/ro")
  endif()

else()
  # Blanks, a dollar sign and a percent sign, which the menu entry's Exec must escape.
  set(dir "${root}/My Kestrelbox $HOME 100%")
  expect("first install" "Installing: " COMMAND ${install} --prefix "${dir}")
  check_folder("${dir}" "\"${root}/My Kestrelbox \\\\$HOME 100%%/Kestrelbox\"")

  # The user's store, changed by hand, survives the second install byte for byte.
  expect("changing the store" "" COMMAND sqlcipher "${dir}/Kestrelbox.mdb"
    "PRAGMA key = 'pinwheel'; PRAGMA cipher_page_size = 4096;
     UPDATE T_Tab SET TabName = 'mine' WHERE TabNo = '1';")
  file(SHA256 "${dir}/Kestrelbox.mdb" before)
  expect("second install" "Kestrelbox.mdb already present in ${dir}: kept as it is"
    COMMAND ${install} --prefix "${dir}")
  file(SHA256 "${dir}/Kestrelbox.mdb" after)
  if(NOT before STREQUAL after)
    fail("the second install changed the store")
  endif()

  # The manual page through every renderer there is, each with its warnings on.
  find_program(groff groff)
  find_program(mandoc mandoc)
  foreach(command "${groff};-man;-Tutf8;-ww;-z" "${mandoc};-T;lint;-W;warning")
    if(command MATCHES "^([^;]*)-NOTFOUND")
      message(NOTICE "SKIPPED: the manual page through ${CMAKE_MATCH_1}, which is not installed")
    else()
      expect("${command}" "" COMMAND ${command} "${dir}/kestrelbox.1")
    endif()
  endforeach()

  # The installed program without a display, as a scheduler starts it: it keeps its settings beside itself.
  expect("installed program, /AUTO" ""
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen "${dir}/Kestrelbox" /AUTO)
  if(NOT EXISTS "${dir}/Kestrelbox.ini")
    fail("the installed program wrote no Kestrelbox.ini beside itself")
  endif()
endif()
file(REMOVE_RECURSE "${root}")
