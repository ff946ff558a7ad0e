# Checks of the built programs themselves, as a user or a script runs them
# (cmake -P, registered by tests/CMakeLists.txt).
#
#   -DCHECK=cli             fcboot's dispatch and exit codes on a machine
#                           without adapters, through its real platform backend
#   -DCHECK=diff_cli        fcboot-diff (FCBOOT) as a script runs it: version,
#                           equal, differing and unreadable files, --lint
#   -DCHECK=static_runtime  the Windows programs import no MinGW runtime DLL
#   -DCHECK=capture_cli     fcboot-capture's command line on a machine
#                           without devices (FCBOOT names it)
#   -DCHECK=check_cli       fcboot-check's, likewise
#
# Inputs: FCBOOT (program), PROGRAMS (|-separated, static_runtime), EMULATOR
# (|-separated command that runs FCBOOT, may be empty), WORK_DIR, VERSION_LINE,
# LINE_END (LF or CRLF), OBJDUMP.

cmake_minimum_required(VERSION 3.25)

# Every failed check is reported (SEND_ERROR), and any one fails the test.
if(CHECK STREQUAL "cli" OR CHECK STREQUAL "diff_cli")
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  if(LINE_END STREQUAL "CRLF")
    set(eol "\r\n")
  else()
    set(eol "\n")
  endif()
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}")
  get_filename_component(program "${FCBOOT}" NAME_WE)

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
      message(SEND_ERROR "${program} ${ARGN}: exit ${rc}, stdout bytes [${out}]; "
                         "expected exit ${code}, stdout bytes [${expected}]")
    endif()
  endfunction()

endif()

if(CHECK STREQUAL "diff_cli")
  expect(0 "${VERSION_LINE}${eol}" --version)
  file(WRITE "${WORK_DIR}/a.cfg" "[HBA0]\nWWID=0000000000000001\nHostAdapterBiosEnable=1\nSelectBootEnable=0\nBootDeviceWWID=0\nBootDeviceLUN[0]=0\n")
  file(WRITE "${WORK_DIR}/b.cfg" "[HBA3]\nwwid=0000000000000001\nHostAdapterBiosEnable=1\nSelectBootEnable=0\nBootDeviceWWID=0\nBootDeviceLUN[0]=9\n")
  expect(0 "" a.cfg a.cfg)
  expect(1 "0000000000000001 BootDeviceLUN[0]: expected 0, found 9${eol}" a.cfg b.cfg)
  expect(2 "" a.cfg missing.cfg)
  # The one-file check: clean, a finding with its line (CR LF lines, read
  # as the load reads them), unreadable.
  file(WRITE "${WORK_DIR}/c.cfg" "[HBA0]\r\nWWID=0000000000000001\r\nHostAdapterBiosEnable=1\r\nSelectBootEnable=0\r\nBootDeviceWWID=a001\r\nBootDeviceLUN[0]=0\r\n")
  expect(0 "" --lint a.cfg)
  expect(1 "c.cfg:5: BootDeviceWWID a001 is shorter than 16 digits; a load pads it on the left to 000000000000a001${eol}" --lint c.cfg)
  expect(2 "" --lint missing.cfg)
  # A report that cannot be written is trouble, not a verdict.
  if(EXISTS /dev/full AND NOT emulator)
    execute_process(COMMAND "${FCBOOT}" a.cfg b.cfg WORKING_DIRECTORY "${WORK_DIR}"
      OUTPUT_FILE /dev/full ERROR_QUIET RESULT_VARIABLE rc)
    if(NOT rc STREQUAL "2")
      message(SEND_ERROR "fcboot-diff a.cfg b.cfg >/dev/full: exit ${rc}, expected 2")
    endif()
  endif()

elseif(CHECK STREQUAL "cli")
  expect(0 "${VERSION_LINE}${eol}" /v)
  # Wrong use: exit code 1 and not a byte on stdout. Options are exact: one
  # slash, small letters.
  foreach(args "" /V "/v;x" "/S;x" "/p;x" "/sx;x" "s;x" "/LE;x" /s "/s;a;b" "/l;a;b")
    expect(1 "" ${args})
  endforeach()
  # No adapter answers here: every file command ends with 5, and the save
  # creates no file.
  foreach(option /s /se /l /le)
    expect(5 "" ${option} boot.cfg)
  endforeach()
  if(EXISTS "${WORK_DIR}/boot.cfg")
    message(SEND_ERROR "fcboot /s created its file although no adapter was found")
  endif()

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
  # A file that cannot be created: 2 and its name, whatever the devices.
  expect(2 "^$" "^fcboot-capture: cannot write no-such-folder/twin.json\r?\n$"
    no-such-folder/twin.json)
  # The remap: wrong use; here no adapter, so 5 and no file.
  expect(1 "^$" "^fcboot-capture: --remap takes BEFORE.json IN.cfg OUT.cfg\r?\nusage: " --remap a.json)
  file(WRITE "${WORK_DIR}/before.json" "{\"fleet_version\": 1, \"devices\": []}\n")
  file(WRITE "${WORK_DIR}/in.cfg" "")
  expect(5 "^$" "no adapter" --remap before.json in.cfg out.cfg)
  if(EXISTS "${WORK_DIR}/out.cfg")
    message(SEND_ERROR "fcboot-capture --remap wrote its file although no adapter was found")
  endif()

elseif(CHECK STREQUAL "check_cli")
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}")
  file(WRITE "${WORK_DIR}/boot.cfg" "[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=1\n")
  function(expect code out_regex err_regex)
    execute_process(COMMAND ${emulator} "${FCBOOT}" ${ARGN}
      WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc STREQUAL "${code}" OR NOT out MATCHES "${out_regex}" OR NOT err MATCHES "${err_regex}")
      message(SEND_ERROR "fcboot-check ${ARGN}: exit ${rc}, stdout [${out}], stderr [${err}]; "
                         "expected exit ${code}, stdout matching [${out_regex}], stderr [${err_regex}]")
    endif()
  endfunction()
  expect(0 "^${VERSION_LINE}\r?\n$" "^$" --version)
  expect(0 "^usage: fcboot-check [[]-w RANGE[]] [[]-c RANGE[]] [[]--fleet FILE[]]" "^$" --help)
  # The status line even for wrong use, with no perfdata, the usage on stderr.
  expect(3 "^FCBOOT UNKNOWN - wrong use: unknown option --verbose\r?\n$" "^fcboot-check: unknown option --verbose\r?\nusage: " --verbose)
  expect(3 "^FCBOOT UNKNOWN - wrong use: -c 2:1 is no range" "^fcboot-check: -c 2:1 is no range" -c 2:1)
  # No device answers here: no adapter is ready, critical by the default
  # -c 1:, in text and JSON; -c 0: lets the server have none.
  set(perf " [|] adapters=0;;;0 set_to_boot=0;;;0;0 ready=0;;1:;0;0 warnings=0;;;0 critical=1;;;0\r?\n")
  expect(2 "^FCBOOT CRITICAL - 0 adapters, 0 set to boot, 0 ready: [^|\r\n]*-c 1:[^|\r\n]*${perf}" "^$")
  expect(2 "^{\r?\n  \"status\": \"CRITICAL\"" "^$" --json)
  expect(0 "^FCBOOT OK - 0 adapters, 0 set to boot, 0 ready [|] [^\r\n]*ready=0;;0:;0;0 " "^$" -c 0:)
  # An expect file a load would skip a section of, or none at all.
  expect(3 "^FCBOOT UNKNOWN - boot.cfg has findings of its own" "^$" --expect boot.cfg)
  expect(3 "^FCBOOT UNKNOWN - [^\r\n]*absent.cfg" "^$" --expect-efi absent.cfg)

else()
  message(FATAL_ERROR "unknown CHECK '${CHECK}'")
endif()
