# fcboot-emu saving the demo fleet where no boot configuration file can be
# written: each save must end with exit code 2. On POSIX, run as the
# superuser, the programs also run as an unprivileged user over a folder in
# which that user may write a file but create none: an existing file is
# replaced only by a run that ends with 0, directly and through a link, and
# a capture that cannot create its file ends with 2 (cmake -P, registered by
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

  # As an unprivileged user: `setpriv` drops to the nobody user.
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_program(SETPRIV setpriv)
  if(NOT uid STREQUAL "0" OR NOT SETPRIV)
    message(STATUS "skipped: the runs as an unprivileged user need the superuser and setpriv")
    return()
  endif()
  set(as_nobody "${SETPRIV}" --reuid=65534 --regid=65534 --clear-groups)
  set(locked "${WORK_DIR}/locked")
  file(MAKE_DIRECTORY "${locked}")
  file(CHMOD "${locked}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  execute_process(COMMAND "${FCBOOT_EMU}" --write-demo-fleet "${WORK_DIR}/demo.json")
  # Every adapter's region reads fail: a save ends with 4, a capture with 4.
  file(READ "${WORK_DIR}/demo.json" demo)
  set(broken "${demo}")
  foreach(i 0 1)
    string(JSON broken SET "${broken}" devices ${i} faults
      "[{\"match\": \"mailbox:23\", \"mbx_status\": 1}]")
  endforeach()
  file(WRITE "${WORK_DIR}/broken.json" "${broken}")
  file(WRITE "${WORK_DIR}/none.json" "{\"fleet_version\": 1, \"devices\": []}")

  # run(<exit code> <what> ARG...): fcboot-emu as nobody; `said` holds stderr.
  function(run code what)
    execute_process(COMMAND ${as_nobody} "${FCBOOT_EMU}" ${ARGN}
      WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc STREQUAL "${code}")
      message(SEND_ERROR "as nobody, ${what}: exit ${rc}, expected ${code}\n${out}${err}")
    endif()
    set(said "${err}" PARENT_SCOPE)
  endfunction()
  # holds(<what> <file> <regex>): the file is there and its text matches.
  function(holds what path regex)
    if(NOT EXISTS "${path}")
      message(SEND_ERROR "${what}: ${path} is gone")
      return()
    endif()
    file(READ "${path}" text)
    if(NOT text MATCHES "${regex}")
      message(SEND_ERROR "${what}: ${path} holds [${text}], expected [${regex}]")
    endif()
  endfunction()
  # A file nobody may write, in the folder nobody may not add to.
  function(plant name text)
    file(WRITE "${locked}/${name}" "${text}")
    file(CHMOD "${locked}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ GROUP_WRITE
      WORLD_READ WORLD_WRITE)
  endfunction()

  plant(boot.cfg "last night's copy\n")
  plant(host17.cfg "golden copy\n")
  file(CREATE_LINK host17.cfg "${locked}/link.cfg" SYMBOLIC)
  foreach(option /s /se)
    run(4 "${option} with unreadable adapters" --fleet broken.json ${option} locked/boot.cfg)
    holds("a failed ${option}" "${locked}/boot.cfg" "^last night's copy\n$")
    run(4 "${option} through a link, unreadable adapters" --fleet broken.json ${option} locked/link.cfg)
    holds("a failed ${option} through a link" "${locked}/host17.cfg" "^golden copy\n$")
  endforeach()
  run(0 "/s" --fleet demo.json /s locked/boot.cfg)
  holds("a save" "${locked}/boot.cfg" "^\\[HBA0\\].*\\[HBA1\\]")
  run(0 "/s through a link" --fleet demo.json /s locked/link.cfg)
  holds("a save through a link" "${locked}/host17.cfg" "^\\[HBA0\\].*\\[HBA1\\]")
  if(NOT IS_SYMLINK "${locked}/link.cfg")
    message(SEND_ERROR "a save through a link replaced the link")
  endif()

  plant(twin.json "{}\n")
  run(4 "a capture with unreadable adapters" --fleet broken.json --capture locked/twin.json)
  holds("a failed capture" "${locked}/twin.json" "^{}\n$")
  run(0 "a capture" --fleet demo.json --capture locked/twin.json)
  holds("a capture" "${locked}/twin.json" "\"port_wwn\": \"1000000000000002\"")
  foreach(fleet demo none)
    run(2 "a capture to a file that cannot be created (${fleet})" --fleet ${fleet}.json
      --capture locked/new.json)
    if(NOT said MATCHES "cannot write locked/new.json" OR EXISTS "${locked}/new.json")
      message(SEND_ERROR "a capture that cannot create its file: [${said}]")
    endif()
  endforeach()

  # The fleet written back after a load, in place where no temporary file fits.
  file(WRITE "${WORK_DIR}/load.cfg" "[HBA1]\nWWID=1000000000000002\nHostAdapterBiosEnable=1\n"
    "SelectBootEnable=0\nBootDeviceWWID=500000000000b002\nBootDeviceLUN[0]=3\n")
  plant(fleet.json "${demo}")
  run(0 "a load written back to the fleet" --fleet locked/fleet.json /l load.cfg)
  run(0 "a save of the fleet written back" --fleet locked/fleet.json /s locked/boot.cfg)
  holds("the fleet written back" "${locked}/boot.cfg" "BootDeviceWWID=500000000000b002\nBootDeviceLUN\\[0\\]=3")
  file(GLOB left "${locked}/*.tmp*")
  if(left)
    message(SEND_ERROR "temporary files left: ${left}")
  endif()
endif()
