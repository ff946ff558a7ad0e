# Checks the zip package as a user receives it (cmake -P, registered by
# cmake/PackageTests.cmake): the checksum file and the zip's contents, then
# unpacks it and runs the programs from the unpacked folder.
#
# Inputs: PACKAGE_DIR (where the packages target put it), WORK_DIR,
# PACKAGE_NAME (the zip's name without ".zip"), EMULATOR (|-separated command
# that runs a Windows program, may be empty), VERSION_LINE (without line
# end), SOURCE_DIR, PROGRAMS (|-separated, the built programs).

cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" emulator "${EMULATOR}")
string(REPLACE "|" ";" programs "${PROGRAMS}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")

# Every failed check below is reported (SEND_ERROR); any one fails the test.
# Only a step without which nothing further can be checked ends it early
# (FATAL_ERROR).

set(zip "${PACKAGE_DIR}/${PACKAGE_NAME}.zip")
if(NOT EXISTS "${zip}")
  message(FATAL_ERROR "no ${zip}: build the target \"packages\" first")
endif()

# The checksum file in the format sha256sum -c reads.
set(sum_file "${zip}.sha256")
if(NOT EXISTS "${sum_file}")
  message(SEND_ERROR "no ${PACKAGE_NAME}.zip.sha256 beside the zip")
else()
  file(SHA256 "${zip}" hash)
  file(READ "${sum_file}" sum HEX)
  string(HEX "${hash}  ${PACKAGE_NAME}.zip\n" expected)
  if(NOT sum STREQUAL expected)
    message(SEND_ERROR "${PACKAGE_NAME}.zip.sha256 holds bytes [${sum}], expected [${expected}]")
  endif()
endif()

# Exactly these files, in sorted order, all in one folder named like the zip.
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${zip}"
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list ${zip}")
endif()
string(REGEX MATCHALL "[^\n]+" entries "${listing}")
file(GLOB_RECURSE ansible RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/examples/ansible/*")
file(GLOB_RECURSE monitoring RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/examples/monitoring/*")
set(wanted README.txt docs/fleet-file.md docs/user-guide.md
  examples/boot.cfg examples/demo-fleet.json ${ansible} ${monitoring})
foreach(program IN LISTS programs)
  get_filename_component(name "${program}" NAME)
  list(APPEND wanted "${name}")
endforeach()
list(TRANSFORM wanted PREPEND "${PACKAGE_NAME}/")
list(SORT wanted)
if(NOT entries STREQUAL wanted)
  message(SEND_ERROR "the zip holds [${entries}], expected [${wanted}]")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}"
  WORKING_DIRECTORY "${WORK_DIR}/unpacked" RESULT_VARIABLE rc)
set(dir "${WORK_DIR}/unpacked/${PACKAGE_NAME}")
if(NOT rc EQUAL 0 OR NOT EXISTS "${dir}/fcboot.exe" OR NOT EXISTS "${dir}/fcboot-emu.exe")
  message(FATAL_ERROR "unpacking ${zip} failed or gave no programs")
endif()

# The programs packed are the ones built (whose imports another test checks).
foreach(program IN LISTS programs)
  get_filename_component(name "${program}" NAME)
  file(SHA256 "${program}" built)
  file(SHA256 "${dir}/${name}" packed)
  if(NOT built STREQUAL packed)
    message(SEND_ERROR "${name} in the zip is not the one built")
  endif()
endforeach()

# Compared as hex bytes: CMake drops the carriage return of "\r\n" when it
# reads text. The example is kept with line feeds; on Windows every file the
# utility writes, and the example in the zip, ends its lines with CR LF.
file(READ "${SOURCE_DIR}/examples/boot.cfg" example)
string(REPLACE "\r\n" "\n" example "${example}")
string(REPLACE "\n" "\r\n" example "${example}")
string(HEX "${example}" example_hex)

# expect_file(<file> <what>)
function(expect_file file what)
  if(NOT EXISTS "${file}")
    message(SEND_ERROR "${what}: no file")
    return()
  endif()
  file(READ "${file}" bytes HEX)
  if(NOT bytes STREQUAL example_hex)
    message(SEND_ERROR "${what}: bytes [${bytes}], expected [${example_hex}]")
  endif()
endfunction()

# run(<expected exit code> <stdout hex> <program> [ARG...]), from the
# unpacked folder.
function(run code stdout_hex program)
  execute_process(COMMAND ${emulator} "${dir}/${program}" ${ARGN}
    WORKING_DIRECTORY "${dir}"
    OUTPUT_FILE "${WORK_DIR}/stdout.txt" RESULT_VARIABLE rc)
  file(READ "${WORK_DIR}/stdout.txt" out HEX)
  if(NOT rc STREQUAL "${code}" OR NOT out STREQUAL stdout_hex)
    message(SEND_ERROR "${program} ${ARGN}: exit ${rc}, stdout bytes [${out}]; "
                       "expected exit ${code}, stdout bytes [${stdout_hex}]")
  endif()
endfunction()

string(HEX "${VERSION_LINE}\r\n" version_hex)
run(0 "${version_hex}" fcboot.exe /v)
run(0 "${version_hex}" fcboot-capture.exe --version)
run(0 "${version_hex}" fcboot-check.exe --version)

expect_file("${dir}/examples/boot.cfg" "examples/boot.cfg in the zip")
# The built-in demo server and the shipped demo fleet both save the example.
run(0 "" fcboot-emu.exe /s boot.cfg)
expect_file("${dir}/boot.cfg" "fcboot-emu.exe /s boot.cfg")
run(0 "" fcboot-emu.exe --fleet examples/demo-fleet.json /s fleet.cfg)
expect_file("${dir}/fleet.cfg" "fcboot-emu.exe --fleet examples/demo-fleet.json /s fleet.cfg")
# The saved file holds what the example asks for.
run(0 "" fcboot-diff.exe examples/boot.cfg fleet.cfg)

# The packages hold fcboot-emu.exe but not the test driver that its --serve
# needs: the help says so, and --serve from the package ends with 125 and
# says what is missing, before any program runs.
execute_process(COMMAND ${emulator} "${dir}/fcboot-emu.exe" --help
  WORKING_DIRECTORY "${dir}" OUTPUT_VARIABLE help RESULT_VARIABLE rc)
string(REGEX REPLACE "[\r\n ]+" " " help "${help}")
if(NOT rc STREQUAL "0" OR NOT help MATCHES "--run +serves PROGRAM's device requests .*test driver.*the packages hold neither")
  message(SEND_ERROR "fcboot-emu.exe --help: exit ${rc}, does not say that --serve needs what "
                     "the packages do not hold: [${help}]")
endif()
execute_process(COMMAND ${emulator} "${dir}/fcboot-emu.exe" --serve --run fcboot.exe /s served.cfg
  WORKING_DIRECTORY "${dir}" OUTPUT_VARIABLE o ERROR_VARIABLE e RESULT_VARIABLE rc)
if(NOT rc STREQUAL "125" OR NOT e MATCHES "test driver [^\n]*is not installed[^\n]*packages do not hold" OR
   EXISTS "${dir}/served.cfg")
  message(SEND_ERROR "fcboot-emu.exe --serve from the package: exit ${rc}, stderr [${e}]; "
                     "expected 125, the driver not installed and no served.cfg")
endif()
# The shipped demo fleet is ready to boot as the example says.
string(HEX "FCBOOT OK - 2 adapters, 1 set to boot, 1 ready | adapters=2;;;0 set_to_boot=1;;;0;2 ready=1;;1:;0;2 warnings=0;;;0 critical=0;;;0\r
OK: 1000000000000001 BIOS: set to boot from 500000000000a001 LUN 0, image 0x03960001\r
OK: 1000000000000001 EFIB: set to boot from 500000000000a001 LUN 0, image 0x03960001\r
OK: 1000000000000002 BIOS: not set to boot (HostAdapterBiosEnable=0, SelectBootEnable=0)\r
OK: 1000000000000002 EFIB: not set to boot (HostAdapterBiosEnable=0, SelectBootEnable=0)\r
" check_hex)
run(0 "${check_hex}" fcboot-check.exe --fleet examples/demo-fleet.json --expect examples/boot.cfg)
