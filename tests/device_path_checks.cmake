# The Windows build's fcboot.exe, fcboot-capture.exe and fcboot-check.exe
# through the emulator's driver under Wine (scripts/fcboot-emu-wine.sh), judged
# against fcboot-emu.exe running the utility, the capture or the check
# in-process on the same fleet and command:
# exit code, standard output and error (no violation), the file, the fleet
# written back and the request log must agree, but for the failed opens of
# ports the fleet lacks, which never reach the driver. Faults of the harness
# itself must end as its own errors. (cmake -P, registered by
# tests/CMakeLists.txt)
#
# Inputs: SCRIPT, MINGW_DIR (the Windows build), WORK_DIR, EXAMPLE (the worked
# example), DEMO_FLEET, PROBE (tests/device_probe.cpp), TWINS
# (tests/device_twins.cpp), OBJDUMP.

cmake_minimum_required(VERSION 3.25)

set(wine /usr/lib/wine/wine64)
if(DEFINED ENV{FCBOOT_WINE})
  set(wine "$ENV{FCBOOT_WINE}")
endif()
# The in-process runs and the probe share the script's prefix and server.
set(ENV{FCBOOT_MINGW_DIR} "${MINGW_DIR}")
set(ENV{WINEPREFIX} "${MINGW_DIR}/device-wineprefix")
set(ENV{WINEARCH} win64)
set(ENV{WINEDEBUG} -all)
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
file(REMOVE_RECURSE "${WORK_DIR}")

execute_process(COMMAND "${OBJDUMP}" -p "${MINGW_DIR}/fcboot-emudrv.sys" OUTPUT_VARIABLE dump)
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
if(NOT imports STREQUAL "DLL Name: ntoskrnl.exe")
  message(SEND_ERROR "fcboot-emudrv.sys imports [${imports}], expected ntoskrnl.exe alone")
endif()

# The script makes its prefix and installs the driver on first use. The
# in-process runs share that prefix, so it is made before them: Wine's own
# lines about a new prefix would otherwise show in their standard error.
execute_process(COMMAND "${SCRIPT}" /v OUTPUT_QUIET ERROR_VARIABLE e RESULT_VARIABLE r)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "the device path could not be set up (exit ${r}):\n${e}")
endif()

# run(<in|dev> <folder> ARG...): fcboot-emu.exe in-process or the script;
# sets <in|dev>_rc, _out (hex bytes) and _err.
set(command_in "${wine}" "${MINGW_DIR}/fcboot-emu.exe")
set(command_dev "${SCRIPT}")
function(run side dir)
  execute_process(COMMAND ${command_${side}} ${ARGN} WORKING_DIRECTORY "${dir}"
    OUTPUT_FILE "${dir}/stdout" ERROR_VARIABLE e RESULT_VARIABLE r)
  file(READ "${dir}/stdout" o HEX)
  set(${side}_rc "${r}" PARENT_SCOPE)
  set(${side}_out "${o}" PARENT_SCOPE)
  set(${side}_err "${e}" PARENT_SCOPE)
endfunction()

# same(NAME <folder> FLEET <json> [EXIT <code>] ARGS <option> FILE <name>
#      [BEFORE <text of FILE>] [WANT <text FILE must then hold>] [UNCHANGED])
# Runs both ways and compares. FILE is relative to the case's folder: the
# in-process run gets it so, the device path its absolute Linux name (fleet
# file and request log too). Without EXIT any code of the exit-code table
# will do. UNCHANGED: the fleet must be written back as it was.
function(same)
  cmake_parse_arguments(PARSE_ARGV 0 c "UNCHANGED" "NAME;FLEET;EXIT;FILE;BEFORE;WANT" "ARGS")
  foreach(side in dev)
    set(dir "${WORK_DIR}/${c_NAME}/${side}")
    file(MAKE_DIRECTORY "${dir}/sub")
    file(WRITE "${dir}/plain.txt" "x")
    file(WRITE "${dir}/fleet.json" "${c_FLEET}")
    if(DEFINED c_BEFORE)
      file(WRITE "${dir}/${c_FILE}" "${c_BEFORE}")
    endif()
    set(at_dev "${dir}/")
    run(${side} "${dir}" --fleet "${at_${side}}fleet.json" --requests "${at_${side}}requests.jsonl"
        ${c_ARGS} "${at_${side}}${c_FILE}")
    set(${side}_file "(none)")
    if(NOT IS_DIRECTORY "${dir}/${c_FILE}" AND EXISTS "${dir}/${c_FILE}")
      file(READ "${dir}/${c_FILE}" ${side}_file HEX)
    endif()
    file(READ "${dir}/fleet.json" ${side}_fleet)
    if(NOT EXISTS "${dir}/requests.jsonl")
      message(SEND_ERROR "${c_NAME}: ${side} wrote no request log (exit ${${side}_rc}): ${${side}_err}")
      return()
    endif()
    file(READ "${dir}/requests.jsonl" log)
    # Opens of absent ports (in-process only) and sequence numbers apart.
    string(REGEX REPLACE "{\"seq\":[0-9]+,\"op\":\"open\",\"port\":[0-9]+,\"ok\":false,\"error\":2}\n" "" log "${log}")
    string(REGEX REPLACE "\"seq\":[0-9]+," "" ${side}_log "${log}")
    # A target that is no regular file is named as given: in the Windows
    # form on the device path.
    string(REGEX REPLACE "^fcboot: [^\n]* is no regular file; nothing was done\n$" "(no regular file)"
      ${side}_err "${${side}_err}")
  endforeach()

  if(NOT in_rc MATCHES "^(0|1|2|4|5|7|8|16|17|255)$" OR
     NOT in_err MATCHES "^(|\\(no regular file\\))$" OR
     (DEFINED c_EXIT AND NOT in_rc STREQUAL c_EXIT))
    message(SEND_ERROR "${c_NAME}: in-process exit ${in_rc}, expected ${c_EXIT}\n${in_err}")
  endif()
  foreach(what rc out err file fleet log)
    if(NOT "${in_${what}}" STREQUAL "${dev_${what}}")
      message(SEND_ERROR "${c_NAME}: the ${what} differs\n  in-process: ${in_${what}}\n"
                         "  device path: ${dev_${what}}")
    endif()
  endforeach()
  string(HEX "${c_WANT}" want)
  if(DEFINED c_WANT AND NOT dev_file STREQUAL want)
    message(SEND_ERROR "${c_NAME}: ${c_FILE} holds [${dev_file}], expected [${want}]")
  endif()
  if(c_UNCHANGED AND NOT dev_fleet STREQUAL c_FLEET)
    message(SEND_ERROR "${c_NAME}: the fleet was written back changed:\n${dev_fleet}")
  endif()
endfunction()

# harness(<name> <fleet> <stderr regex> [ENV <var=value>] [LOAD <boot.cfg>]):
# the script's save must end with 125 and the message, write no file and
# leave the fleet. With LOAD, a load of that file instead: the fleet must be
# left as it was although the load changed the adapters.
function(harness name fleet message)
  cmake_parse_arguments(PARSE_ARGV 3 h "" "ENV;LOAD" "")
  set(dir "${WORK_DIR}/${name}")
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${dir}/fleet.json" "${fleet}")
  set(option /s)
  if(DEFINED h_LOAD)
    set(option /l)
    file(WRITE "${dir}/boot.cfg" "${h_LOAD}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env ${h_ENV} "${SCRIPT}" --fleet fleet.json ${option} boot.cfg
    WORKING_DIRECTORY "${dir}" OUTPUT_VARIABLE o ERROR_VARIABLE e RESULT_VARIABLE r)
  file(READ "${dir}/fleet.json" after)
  if(NOT r STREQUAL "125" OR NOT e MATCHES "${message}" OR NOT after STREQUAL fleet OR
     (NOT DEFINED h_LOAD AND EXISTS "${dir}/boot.cfg"))
    message(SEND_ERROR "${name}: exit ${r}, stderr [${e}], stdout [${o}]; expected 125, "
                       "[${message}], no boot.cfg and the fleet as it was")
  endif()
endfunction()

# probe(<what> <expected output> [SERVE <fleet> [EMU <option>...] [STDERR <regex>]]
#       ARGS <arg>...): the probe alone, or run by the serving emulator on the
# fleet (with its options EMU); nothing on standard error unless STDERR says
# what.
function(probe what expected)
  cmake_parse_arguments(PARSE_ARGV 2 p "" "SERVE;STDERR" "ARGS;EMU")
  if(NOT DEFINED p_STDERR)
    set(p_STDERR "^$")
  endif()
  set(command "${wine}" "${PROBE}")
  set(dir "${WORK_DIR}/probe")
  file(MAKE_DIRECTORY "${dir}")
  if(DEFINED p_SERVE)
    file(WRITE "${dir}/fleet.json" "${p_SERVE}")
    string(REPLACE "/" "\\" program "Z:${PROBE}")
    set(command "${wine}" "${MINGW_DIR}/fcboot-emu.exe" --serve --fleet fleet.json ${p_EMU}
        --run "${program}")
  endif()
  execute_process(COMMAND ${command} ${p_ARGS} WORKING_DIRECTORY "${dir}"
    OUTPUT_VARIABLE o ERROR_VARIABLE e RESULT_VARIABLE r)
  string(REPLACE "\r\n" "\n" o "${o}")
  if(NOT o STREQUAL expected OR NOT e MATCHES "${p_STDERR}")
    message(SEND_ERROR "probe, ${what}: exit ${r}, output [${o}], stderr [${e}]; "
                       "expected [${expected}]")
  endif()
endfunction()

# with_rule(<out> <fleet> <device index|all> <rule>): the fleet with that one
# fault rule on the device, or on every device.
function(with_rule out fleet device rule)
  string(JSON count LENGTH "${fleet}" devices)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    if(device STREQUAL "all" OR device EQUAL i)
      string(JSON fleet SET "${fleet}" devices ${i} faults "[${rule}]")
    endif()
  endforeach()
  set(${out} "${fleet}" PARENT_SCOPE)
endfunction()

file(READ "${DEMO_FLEET}" demo)
file(READ "${EXAMPLE}" example)
string(REPLACE "\n" "\r\n" example "${example}")

# --- the worked example, saved and loaded back in both modes -------------------
foreach(mode "" e)
  same(NAME save${mode} FLEET "${demo}" EXIT 0 ARGS /s${mode} FILE boot.cfg WANT "${example}"
       UNCHANGED)
  same(NAME load${mode} FLEET "${demo}" EXIT 0 ARGS /l${mode} FILE boot.cfg BEFORE "${example}"
       WANT "${example}" UNCHANGED)
endforeach()
# Adapters on a middle and the last port, the files named relative to the
# current folder on both paths.
string(JSON spread SET "${demo}" devices 0 port 3)
string(JSON spread SET "${spread}" devices 1 port 255)
set(dir "${WORK_DIR}/relative")
file(MAKE_DIRECTORY "${dir}")
file(WRITE "${dir}/fleet.json" "${spread}")
run(dev "${dir}" --fleet fleet.json -- /s boot.cfg)
file(READ "${dir}/boot.cfg" saved HEX)
string(HEX "${example}" example_hex)
if(NOT dev_rc STREQUAL "0" OR NOT saved STREQUAL example_hex)
  message(SEND_ERROR "ports 3 and 255, relative names: exit ${dev_rc}, ${dev_err}, file [${saved}]")
endif()

# --- fcboot-capture.exe: the demo and a sample of the capture tests' fleets ---
# Both driver kinds with other makers' or failing devices at scattered ports,
# a malformed directory kept as raw memory words, a node list for which the
# GET_NODE_LIST buffer must grow. Each twin is then judged by the capture
# tests' own checks: only reads were sent, and every command gives the same
# results against the fleet and against its twin.
function(twins filter)
  execute_process(COMMAND "${wine}" "${TWINS}" --gtest_filter=DeviceTwins.${filter} --gtest_brief=1
    WORKING_DIRECTORY "${WORK_DIR}" OUTPUT_VARIABLE o ERROR_VARIABLE e RESULT_VARIABLE r)
  if(NOT r STREQUAL "0")
    message(SEND_ERROR "device_twins, ${filter}: exit ${r}\n${o}${e}")
  endif()
endfunction()
twins(WriteSamples)
file(GLOB samples "${WORK_DIR}/samples/*.json")
foreach(sample "${DEMO_FLEET}" ${samples})
  get_filename_component(name "${sample}" NAME_WE)
  file(READ "${sample}" fleet)
  same(NAME capture_${name} FLEET "${fleet}" EXIT 0 ARGS --capture FILE twin.json UNCHANGED)
endforeach()
twins(AreExact)

# --- fcboot-check.exe: the live check, ready and not -------------------------
same(NAME check_ok FLEET "${demo}" EXIT 0 ARGS --check --expect FILE boot.cfg BEFORE "${example}" UNCHANGED)
same(NAME check_critical FLEET "${demo}" EXIT 2 ARGS --check --json --expect FILE boot.cfg
     BEFORE "[HBA0]\nWWID=1000000000000002\nHostAdapterBiosEnable=1\nSelectBootEnable=1\nBootDeviceWWID=500000000000a001\nBootDeviceLUN[0]=0\n" UNCHANGED)

# --- faults of the harness --------------------------------------------------
with_rule(fleet "${demo}" 1 [=[{"match": "mailbox:23", "fail": 1167}]=])
harness(unmapped_error "${fleet}" "error 1167 has no device status")
with_rule(fleet "${demo}" 0 [=[{"match": "open", "fail": 2}]=])
harness(open_rule "${fleet}" "\"open\" rule cannot take effect")
harness(emulator_gone "${demo}" "serving emulator ended abnormally"
        ENV FCBOOT_EMU_WINE_ABORT_AFTER=20)
# A program that never ran, or whose exit code is unknown, is no run of the
# utility: never an exit code of its own, and no write-back of what it did.
harness(program_not_tied "${demo}" "cannot tie [^\n]*fcboot.exe to the serving emulator"
        ENV FCBOOT_EMU_WINE_FAIL_STEP=tie)
string(REPLACE "SelectBootEnable=1" "SelectBootEnable=0" unselect "${example}")
harness(exit_code_unknown "${demo}" "exit code of [^\n]*fcboot.exe could not be read[^\n]*fleet file is left"
        ENV FCBOOT_EMU_WINE_FAIL_STEP=exit-code LOAD "${unselect}")
# The driver completes a request only with a status of the mapping below:
# STATUS_PENDING from the serving emulator drops the connection, the caller
# gets the driver's own 1167 and the run ends as the harness's fault.
probe("a status outside the mapping" "open ok\nerror 1167\n" SERVE "${demo}" EMU --fail-step status
      STDERR "the driver dropped the connection" ARGS 0)
# With the serving emulator gone the driver's links are still there, and
# every request on them fails with the driver's own status, 1167, which no
# adapter answers with.
probe("no serving emulator" "open ok\nerror 1167\n" ARGS 0)
probe("port without adapter" "open error 2\n" ARGS 7)
# Served: each Windows error the driver delivers reaches the caller as that
# error; a ReturnCode and the count of bytes returned come back.
set(rules "")
set(expected "open ok\n")
set(skip 0)
foreach(error 1 2 5 6 8 21 31 87 122 1117)
  string(APPEND rules "{\"match\": \"ioctl:80010213\", \"skip\": ${skip}, \"times\": 1, "
                      "\"fail\": ${error}},")
  string(APPEND expected "error ${error}\n")
  math(EXPR skip "${skip} + 1")
endforeach()
string(JSON fleet SET "${demo}" devices 0 faults
       "[${rules}{\"match\": \"ioctl:80010213\", \"skip\": ${skip}, \"return_code\": 1}]")
probe("every error" "${expected}ok 28 1\n" SERVE "${fleet}" ARGS 0 11)
# The open's sharing and synchronous I/O reach the emulator, which refuses
# other ones; Wine completes the open all the same, so the request after it
# is on a handle the emulator never gave out.
foreach(refused "overlapped;40000000 3;share 0x00000003, disposition 3, flags 0x40000000"
                "unshared;0 1;share 0x00000001, disposition 3, flags 0x00000000")
  list(POP_FRONT refused what args open)
  string(REPLACE " " ";" args "${args}")
  probe("${what} open" "open ok\nerror 6\n" SERVE "${demo}" ARGS 0 1 ${args}
        STDERR "port 0: open of [^\n]*, ${open};.*: I/O request on a handle the driver never")
endforeach()

# --- exit codes by real cause ------------------------------------------------
string(REPEAT "0" 512 zeros)
string(JSON no_efib SET "${demo}" devices 0 regions 10 "\"${zeros}\"")
string(JSON first GET "${no_efib}" devices 0)
set(single "{\"fleet_version\": 1, \"devices\": [${first}]}")
string(JSON first GET "${demo}" devices 0)
set(demo_one "{\"fleet_version\": 1, \"devices\": [${first}]}")
string(REPEAT "0" 120 zeros)
string(JSON no_boot_code SET "${demo_one}" devices 0 regions 4 "\"${zeros}\"")
string(JSON no_boot_code SET "${no_boot_code}" devices 0 boot_images [=[["0x02960002"]]=])
set(good [=[
[HBA0]
WWID=1000000000000001
HostAdapterBiosEnable=1
SelectBootEnable=1
BootDeviceWWID=500000000000a001
BootDeviceLUN[0]=0
]=])
string(REPLACE "WWID=1000000000000001" "WWID=1000000000000002" staged "${good}")
with_rule(refresh_fails "${demo}" 1 [=[{"match": "ioctl:80010213", "fail": 31}]=])
with_rule(name_unreadable "${demo_one}" all [=[{"match": "ioctl:80010204", "return_code": 1}]=])
with_rule(unknown_model "${demo}" all [=[{"match": "mailbox:17", "mbx_status": 18}]=])
with_rule(staged_fails "${demo}" all [=[{"match": "mailbox:156", "state": 9}]=])
with_rule(update_fails "${demo}" 0 [=[{"match": "mailbox:27", "mbx_status": 1}]=])
with_rule(no_code_update_fails "${no_boot_code}" all [=[{"match": "mailbox:27", "mbx_status": 1}]=])

#    name                  fleet                   exit option file            text before
foreach(case
    "no_adapter;{\"fleet_version\": 1, \"devices\": []};5;/s;boot.cfg"
    "load_missing;${demo};2;/l;boot.cfg"
    "load_folder;${demo};2;/l;sub"
    "save_folder;${demo};2;/se;sub/"
    "save_under_file;${demo};2;/s;plain.txt/b.cfg"
    "bad_wwid;${demo};7;/l;boot.cfg;[HBA0]\nWWID=0x10000000000001\n"
    "bad_flag;${demo};16;/l;boot.cfg;[HBA0]\nSelectBootEnable=+1\n"
    "bad_lun;${demo};8;/l;boot.cfg;[HBA0]\nBootDeviceLUN[0]=256\n"
    "refresh_fails;${refresh_fails};255;/s;boot.cfg;left alone\n"
    "save_past_failed;${no_efib};0;/se;boot.cfg"
    "save_one_fails;${single};4;/se;boot.cfg;old\n"
    "name_unreadable;${name_unreadable};255;/s;boot.cfg;old\n"
    "unknown_model;${unknown_model};255;/l;boot.cfg;${good}"
    "staged_fails;${staged_fails};17;/l;boot.cfg;${staged}"
    "update_fails;${update_fails};4;/l;boot.cfg;${good}"
    "no_boot_code;${no_boot_code};17;/l;boot.cfg;${good}"
    "no_code_update_fails;${no_code_update_fails};4;/l;boot.cfg;${good}")
  list(POP_FRONT case name fleet code option file before)
  set(before_arg "")
  if(DEFINED before)
    set(before_arg BEFORE "${before}")
  endif()
  same(NAME ${name} FLEET "${fleet}" EXIT ${code} ARGS ${option} FILE ${file} ${before_arg})
endforeach()

# --- a sample of the fault sweep ---------------------------------------------
# Every kind of call a rule can aim at here, every effect, once or from then
# on. The load clears the first adapter's selection and selects an image on
# the second (the staged sequence).
string(REPLACE "SelectBootEnable=1" "SelectBootEnable=0" load "${good}")
string(APPEND load "${staged}")
set(n 0)
#    option device match skip effect value times ("-": from then on)
foreach(case
    "/s 0 ioctl:80010203 0 fail 5 -"          "/s 1 ioctl:80010203 2 return_code 1 1"
    "/s 0 ioctl:80010204 0 return_code 8 -"   "/l 1 ioctl:80010204 3 fail 21 1"
    "/se 0 ioctl:80010213 0 return_code 1 -"  "/l 1 ioctl:80010100 0 fail 1117 -"
    "/s 0 ioctl:80010100 0 return_code 1 1"   "/l 0 ioctl:80010106 1 fail 6 1"
    "/le 1 ioctl:8001013b 0 fail 87 -"        "/le 0 ioctl:8001013b 0 return_code 1 -"
    "/s 0 bus_slot 0 fail 2 1"                "/s 0 node_list 0 fail 122 -"
    "/l 0 node_list 1 fail 8 1"               "/l 1 mailbox:17 0 fail 1 1"
    "/s 0 mailbox:23 1 deliver_bytes 4 1"     "/s 1 mailbox:23 0 deliver_bytes 0 1"
    "/se 1 mailbox:23 0 mbx_status 253 -"     "/l 0 mailbox:27 0 fail 5 1"
    "/le 1 mailbox:27 1 mbx_status 252 -"     "/l 1 mailbox:156 0 state 8 -"
    "/l 1 mailbox:156 1 state 0 1"            "/l 1 mailbox:156 2 fail 122 1")
  string(REPLACE " " ";" f "${case}")
  list(POP_FRONT f option device match skip effect value times)
  set(rule "{\"match\": \"${match}\", \"skip\": ${skip}, \"${effect}\": ${value}")
  if(NOT times STREQUAL "-")
    string(APPEND rule ", \"times\": ${times}")
  endif()
  with_rule(fleet "${demo}" ${device} "${rule}}")
  set(before "stale\n")
  if(option MATCHES "^/l")
    set(before "${load}")
  endif()
  same(NAME sweep${n} FLEET "${fleet}" ARGS ${option} FILE boot.cfg BEFORE "${before}")
  math(EXPR n "${n} + 1")
endforeach()

# --- a run stopped mid-run, and the run after it ------------------------------
# A test runner's timeout sends TERM while the serving emulator hangs: the
# script stops what it started, so that the next run finds the pipe and the
# driver free instead of ending with 125 until the orphans finish.
set(dir "${WORK_DIR}/stopped")
file(MAKE_DIRECTORY "${dir}")
file(WRITE "${dir}/fleet.json" "${demo}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env FCBOOT_EMU_WINE_FAIL_STEP=hang
    timeout --preserve-status -s TERM 10 "${SCRIPT}" --fleet fleet.json /s boot.cfg
  WORKING_DIRECTORY "${dir}" OUTPUT_VARIABLE o ERROR_VARIABLE e RESULT_VARIABLE r)
if(NOT r STREQUAL "143" OR NOT e MATCHES "stopped by SIGTERM" OR EXISTS "${dir}/boot.cfg")
  message(SEND_ERROR "stopped mid-run: exit ${r}, stderr [${e}]; expected 143, the script's "
                     "line and no boot.cfg")
endif()
run(dev "${dir}" --fleet fleet.json /s boot.cfg)
set(saved "(none)")
if(EXISTS "${dir}/boot.cfg")
  file(READ "${dir}/boot.cfg" saved HEX)
endif()
if(NOT dev_rc STREQUAL "0" OR NOT saved STREQUAL example_hex)
  message(SEND_ERROR "the run after a stopped one: exit ${dev_rc}, ${dev_err}")
endif()
