# Checks of the built programs themselves, as a user or a script runs them
# (cmake -P, registered by tests/CMakeLists.txt).
#
#   -DCHECK=cli             fcboot's dispatch and exit codes on a machine
#                           without adapters, through its real platform backend
#   -DCHECK=static_runtime  the Windows programs import no MinGW runtime DLL
#   -DCHECK=capture_cli     fcboot-capture's command line on a machine
#                           without devices (FCBOOT names it)
#
# Inputs: FCBOOT (program), PROGRAMS (|-separated, static_runtime), EMULATOR
# (|-separated command that runs FCBOOT, may be empty), WORK_DIR, VERSION_LINE,
# LINE_END (LF or CRLF), OBJDUMP.

cmake_minimum_required(VERSION 3.25)

# Every failed check is reported (SEND_ERROR), and any one fails the test.
if(CHECK STREQUAL "cli")
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  if(LINE_END STREQUAL "CRLF")
    set(eol "\r\n")
  else()
    set(eol "\n")
  endif()
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}")

  # expect(<exit code> <expected stdout> [ARG...])
  function(expect code stdout)
    # Compared as hex bytes: CMake drops the carriage return of "\r\n" when
    # it reads text, both from a pipe and from a file.
    execute_process(COMMAND ${emulator} "${FCBOOT}" ${ARGN}
      WORKING_DIRECTORY "${WORK_DIR}"
      OUTPUT_FILE "${WORK_DIR}/stdout.txt" RESULT_VARIABLE rc)
    file(READ "${WORK_DIR}/stdout.txt" out HEX)
    string(HEX "${stdout}" expected)
    if(NOT rc STREQUAL "${code}" OR NOT out STREQUAL expected)
      message(SEND_ERROR "fcboot ${ARGN}: exit ${rc}, stdout bytes [${out}]; "
                         "expected exit ${code}, stdout bytes [${expected}]")
    endif()
  endfunction()

  expect(0 "${VERSION_LINE}${eol}" /v)
  # Wrong use: exit code 1 and not a byte on stdout.
  expect(1 "")
  expect(1 "" /V)
  expect(1 "" /v x)
  expect(1 "" /S x)
  expect(1 "" /p x)
  expect(1 "" /s)
  expect(1 "" /s a b)
  expect(1 "" /l a b)
  # No adapter answers here: both file commands end with 5, and the save
  # creates no file.
  expect(5 "" /s saved.cfg)
  expect(5 "" /se saved.cfg)
  if(EXISTS "${WORK_DIR}/saved.cfg")
    message(SEND_ERROR "fcboot /s created its file although no adapter was found")
  endif()
  expect(5 "" /l missing.cfg)
  expect(5 "" /le missing.cfg)

elseif(CHECK STREQUAL "static_runtime")
  string(REPLACE "|" ";" programs "${PROGRAMS}")
  foreach(program IN LISTS programs)
    execute_process(COMMAND "${OBJDUMP}" -p "${program}"
      OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(SEND_ERROR "${OBJDUMP} -p ${program} failed")
      continue()
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
    if(NOT imports)
      message(SEND_ERROR "${program}: no DLL imports found at all")
    endif()
    foreach(line IN LISTS imports)
      string(REPLACE "DLL Name: " "" dll "${line}")
      string(TOLOWER "${dll}" dll_lower)
      # The MinGW runtime DLLs (libstdc++-6, libgcc_s_seh-1, libwinpthread-1)
      # are not on a Windows server.
      if(dll_lower MATCHES "^lib|mingw")
        message(SEND_ERROR "${program} needs ${dll}")
      endif()
    endforeach()
  endforeach()

elseif(CHECK STREQUAL "capture_cli")
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}")
  # expect(<exit code> <stdout regex> <stderr regex> [ARG...])
  function(expect code out_regex err_regex)
    execute_process(COMMAND ${emulator} "${FCBOOT}" ${ARGN}
      WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc STREQUAL "${code}" OR NOT out MATCHES "${out_regex}" OR NOT err MATCHES "${err_regex}")
      message(SEND_ERROR "fcboot-capture ${ARGN}: exit ${rc}, stdout [${out}], stderr [${err}]; "
                         "expected exit ${code}, stdout matching [${out_regex}], stderr [${err_regex}]")
    endif()
  endfunction()
  expect(0 "^${VERSION_LINE}\r?\n$" "^$" --version)
  expect(0 "^usage: fcboot-capture FILE\r?\n" "^$" --help)
  # Wrong use: one line saying what is wrong, then the usage, on stderr.
  expect(1 "^$" "^fcboot-capture: unknown option --verbose\r?\nusage: " --verbose)
  expect(1 "^$" "^fcboot-capture: a file name is needed\r?\nusage: ")
  expect(1 "^$" "^fcboot-capture: one file name only\r?\nusage: " a.json b.json)
  # No device answers here: 5, and no file.
  expect(5 "^$" "no device" twin.json)
  if(EXISTS "${WORK_DIR}/twin.json")
    message(SEND_ERROR "fcboot-capture wrote its file although no device was found")
  endif()

else()
  message(FATAL_ERROR "unknown CHECK '${CHECK}'")
endif()
