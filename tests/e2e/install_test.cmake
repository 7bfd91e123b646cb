# cmake -DKB_BUILD=<build folder> -DKB_MODE=install|install_refused -P install_test.cmake
# The install as a user runs it, into a temporary folder that is removed at the end, also after a failure.
execute_process(COMMAND mktemp -d -t kbinstall.XXXXXX OUTPUT_VARIABLE root OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)

function(fail text)
  file(REMOVE_RECURSE "${root}")
  message(FATAL_ERROR "${text}")
endfunction()

# Runs the install with these arguments; `result` and `out` (standard output and error) come back.
function(install_into)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${KB_BUILD} ${ARGN} --component Kestrelbox
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(result "${result}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
endfunction()

if(KB_MODE STREQUAL "install_refused")
  # Without --prefix, staged under DESTDIR so that a failing guard cannot write into /usr/local.
  set(ENV{DESTDIR} "${root}/stage")
  install_into()
  unset(ENV{DESTDIR})
  if(result EQUAL 0 OR NOT out MATCHES "name it, as in" OR EXISTS "${root}/stage")
    fail("install into the default prefix: status ${result}\n${out}")
  endif()
  # Root writes anywhere, so the folders are made unwritable for everyone: one lies under a regular file,
  # one is a read-only mount in a private mount namespace.
  file(WRITE "${root}/file" "")
  install_into(--prefix "${root}/file/Kestrelbox")
  if(result EQUAL 0 OR NOT out MATCHES "CMake Error")
    fail("install under a regular file: status ${result}\n${out}")
  endif()
  file(MAKE_DIRECTORY "${root}/ro")
  set(read_only unshare --map-root-user --mount
    sh -c "mount -t tmpfs -o ro tmpfs \"$1\" && shift && exec \"$@\"" sh "${root}/ro")
  execute_process(COMMAND ${read_only} true RESULT_VARIABLE no_mount OUTPUT_QUIET ERROR_QUIET)
  if(no_mount)
    message(NOTICE "SKIPPED: the read-only folder case (no read-only mount in a private namespace here)")
  else()
    execute_process(COMMAND ${read_only} ${CMAKE_COMMAND} --install ${KB_BUILD} --prefix "${root}/ro"
      --component Kestrelbox RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(result EQUAL 0 OR NOT out MATCHES "CMake Error.*Read-only file system")
      fail("install into a read-only folder: status ${result}\n${out}")
    endif()
  endif()
  file(REMOVE_RECURSE "${root}")
  return()
endif()

# Blanks, a dollar sign and a percent sign, which the menu entry's Exec must escape.
set(dir "${root}/My Kestrelbox $HOME 100%")
install_into(--prefix "${dir}")
if(NOT result EQUAL 0)
  fail("first install: status ${result}\n${out}")
endif()
file(GLOB names RELATIVE "${dir}" "${dir}/*")
list(SORT names)
set(layout Kestrelbox Kestrelbox.mdb Readme.txt kestrelbox.1 kestrelbox.desktop kestrelbox.svg)
if(NOT names STREQUAL layout)
  fail("installed: ${names}\nexpected: ${layout}")
endif()

# The user's store, changed by hand, survives the second install byte for byte.
execute_process(COMMAND sqlcipher "${dir}/Kestrelbox.mdb"
  "PRAGMA key = 'pinwheel'; UPDATE T_Tab SET TabName = 'mine' WHERE TabNo = '1';"
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  fail("sqlcipher could not change the store: ${result}\n${out}")
endif()
file(SHA256 "${dir}/Kestrelbox.mdb" before)
install_into(--prefix "${dir}")
file(SHA256 "${dir}/Kestrelbox.mdb" after)
string(FIND "${out}" "Kestrelbox.mdb already present in ${dir}: kept as it is" kept)
if(NOT result EQUAL 0 OR kept EQUAL -1 OR NOT before STREQUAL after)
  fail("second install: status ${result}, store ${before} then ${after}\n${out}")
endif()

execute_process(COMMAND desktop-file-validate "${dir}/kestrelbox.desktop"
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(STRINGS "${dir}/kestrelbox.desktop" exec REGEX "^Exec=")
if(NOT result EQUAL 0 OR NOT out STREQUAL ""
   OR NOT exec STREQUAL "Exec=\"${root}/My Kestrelbox \\\\$HOME 100%%/Kestrelbox\"")
  fail("menu entry: status ${result}, ${exec}\n${out}")
endif()

# The manual page through every renderer there is, each with all its warnings on.
find_program(groff groff)
find_program(mandoc mandoc)
foreach(renderer groff mandoc)
  if(NOT ${renderer})
    message(NOTICE "SKIPPED: the manual page through ${renderer}, which is not installed")
    continue()
  endif()
  if(renderer STREQUAL "groff")
    set(command ${groff} -man -Tutf8 -ww -z)
  else()
    set(command ${mandoc} -T lint -W warning)
  endif()
  execute_process(COMMAND ${command} "${dir}/kestrelbox.1" RESULT_VARIABLE result OUTPUT_VARIABLE out
    ERROR_VARIABLE out)
  if(NOT result EQUAL 0 OR NOT out STREQUAL "")
    fail("${renderer} on the manual page: status ${result}\n${out}")
  endif()
endforeach()

# The installed program without a display, as a scheduler starts it.
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen "${dir}/Kestrelbox" /AUTO
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE out TIMEOUT 120)
# As the program harness does: the toolkit notes a missing XDG_RUNTIME_DIR before the program can silence it.
string(REGEX REPLACE "(^|\n)QStandardPaths:[^\n]*\n" "\\1" out "${out}")
if(NOT result EQUAL 0 OR NOT out STREQUAL "" OR NOT EXISTS "${dir}/Kestrelbox.ini")
  fail("installed program, /AUTO: status ${result}\n${out}")
endif()
file(REMOVE_RECURSE "${root}")
