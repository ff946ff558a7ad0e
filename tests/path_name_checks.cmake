# The Windows programs on file and folder names outside the server's code
# page: each command ends with the code it ends with on an ASCII name, and
# writes the same bytes (cmake -P, registered by tests/CMakeLists.txt).
#
# Inputs: MINGW_DIR (the Windows build, its programs as the packages ship
# them), EMULATOR (|-separated command that runs a program in the stage's
# Wine prefix), SCRIPT (scripts/fcboot-emu-wine.sh, the device path),
# WORK_DIR.

cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE "${WORK_DIR}")
set(ENV{FCBOOT_MINGW_DIR} "${MINGW_DIR}")
# Wine reads the Linux side's arguments and file names in the locale's
# character set: UTF-8 here, whatever locale the tests were started in.
set(ENV{LC_ALL} C.UTF-8)

# Each name is a folder holding files of the same name: ASCII, CJK (no
# Western code page has it) and accented Latin (no East Asian one has it).
set(names plain 日本 Jürgen)

# <exit code>|<program>|<arguments, space-separated>|<stderr regex>, in order, for each name
# in place of @. "emu", "diff", "check" and "capture" are the programs in the stage's
# prefix, "console" is fcboot-diff there on a terminal (its messages on
# standard output then), "device" the script: the program as a process of
# its own, opening its devices through the emulator's driver. The runs
# build on each other.
set(cases
  "0|emu|--write-demo-fleet @/@.json|^$"
  # A fleet file is never replaced: the name must be found to be refused.
  "125|emu|--write-demo-fleet @/@.json|@/@.json exists"
  "0|emu|--fleet @/@.json --requests @/@.jsonl /s @/@.cfg|^$"
  # A second save replaces the first.
  "0|emu|--fleet @/@.json /s @/@.cfg|^$"
  "0|emu|--fleet @/@.json /le @/@.cfg|^$"
  "0|emu|--fleet @/@.json --capture @/@-twin.json|^$"
  "0|emu|--show @/@-twin.json|^$"
  "0|diff|@/@.cfg @/@.cfg|^$"
  "2|diff|@/@.cfg @/none.cfg|cannot read @/none.cfg"
  "0|check|--fleet @/@.json --expect @/@.cfg|^$"
  # The same message written to a console: Wine makes one on a terminal.
  "2|console|@/@.cfg @/none.cfg|cannot read @/none.cfg"
  # No device answers in this prefix.
  "5|capture|@/@-capture.json|no device"
  "0|device|/s @/@-device.cfg|^$"
  "0|device|--capture @/@-device.json|^$")
set(run_emu ${emulator} "${MINGW_DIR}/fcboot-emu.exe")
set(run_diff ${emulator} "${MINGW_DIR}/fcboot-diff.exe")
set(run_capture ${emulator} "${MINGW_DIR}/fcboot-capture.exe")
set(run_check ${emulator} "${MINGW_DIR}/fcboot-check.exe")
set(run_device "${SCRIPT}")

foreach(name IN LISTS names)
  file(MAKE_DIRECTORY "${WORK_DIR}/${name}")
  foreach(case IN LISTS cases)
    string(REGEX MATCH "^([^|]*)[|]([^|]*)[|]([^|]*)[|](.*)$" fields "${case}")
    set(code "${CMAKE_MATCH_1}")
    set(program "${CMAKE_MATCH_2}")
    string(REPLACE "@" "${name}" args "${CMAKE_MATCH_3}")
    separate_arguments(args UNIX_COMMAND "${args}")
    string(REPLACE "@" "${name}" err_regex "${CMAKE_MATCH_4}")
    # The device path is slow to start: the CJK name alone goes through it.
    if(program STREQUAL "device" AND NOT name STREQUAL "日本")
      continue()
    endif()
    set(command ${run_${program}} ${args})
    if(program STREQUAL "console")
      set(line "")
      foreach(word IN LISTS run_diff args)
        string(APPEND line " '${word}'")
      endforeach()
      set(command script -qec "${line}" /dev/null)
    endif()
    execute_process(COMMAND ${command} WORKING_DIRECTORY "${WORK_DIR}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(program STREQUAL "console")
      # What the terminal was sent, without the cursor moves (which may
      # stand for blanks) and the blanks.
      string(ASCII 27 escape)
      string(REGEX REPLACE "${escape}[[][0-9;?]*[A-Za-z]" "" err "${out}")
      string(REPLACE " " "" err "${err}")
      string(REPLACE " " "" err_regex "${err_regex}")
    endif()
    if(NOT rc STREQUAL code OR NOT err MATCHES "${err_regex}")
      message(SEND_ERROR "${program} ${args}: exit ${rc}, stderr [${err}]; "
                         "expected exit ${code}, stderr matching [${err_regex}]")
    endif()
  endforeach()
endforeach()

# The same bytes under every name.
foreach(file .cfg .json -twin.json)
  file(READ "${WORK_DIR}/plain/plain${file}" expected HEX)
  foreach(name IN LISTS names)
    set(path "${WORK_DIR}/${name}/${name}${file}")
    if(NOT EXISTS "${path}")
      message(SEND_ERROR "${name}/${name}${file} was not written")
      continue()
    endif()
    file(READ "${path}" actual HEX)
    if(NOT actual STREQUAL expected)
      message(SEND_ERROR "${name}/${name}${file} differs from plain/plain${file}")
    endif()
  endforeach()
endforeach()
