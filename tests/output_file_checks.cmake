# fcboot-emu saving the demo fleet where no boot configuration file can be
# written: each save must end with exit code 2 (cmake -P, registered by
# tests/CMakeLists.txt).
#
# Inputs: FCBOOT_EMU (program), EMULATOR (|-separated command that runs it,
# may be empty), WORK_DIR, POSIX (ON where /dev/full and folder permissions
# exist).

cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/a-folder")

# expect_2(<what> <file argument>)
function(expect_2 what path)
  foreach(option /s /se)
    execute_process(COMMAND ${emulator} "${FCBOOT_EMU}" ${option} "${path}"
      WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc STREQUAL "2")
      message(SEND_ERROR "fcboot-emu ${option} ${path} (${what}): exit ${rc}, expected 2\n${out}${err}")
    endif()
  endforeach()
endfunction()

expect_2("missing folder" "no-such-folder/boot.cfg")
expect_2("path is a folder" "a-folder")

if(POSIX)
  expect_2("device that is always full" "/dev/full")
  # A folder without write permission; the superuser writes there anyway,
  # and gets a folder of a filesystem that takes no new files instead.
  file(MAKE_DIRECTORY "${WORK_DIR}/read-only")
  file(CHMOD "${WORK_DIR}/read-only" DIRECTORY_PERMISSIONS OWNER_READ OWNER_EXECUTE)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E touch "${WORK_DIR}/read-only/probe"
    RESULT_VARIABLE touched OUTPUT_QUIET ERROR_QUIET)
  if(EXISTS "${WORK_DIR}/read-only/probe")
    expect_2("read-only folder" "/sys/kernel/boot.cfg")
  else()
    expect_2("read-only folder" "read-only/boot.cfg")
  endif()
  file(CHMOD "${WORK_DIR}/read-only" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endif()
