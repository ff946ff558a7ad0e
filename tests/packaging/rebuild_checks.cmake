# A second build of the same sources, in another folder and later, must give
# the very bytes of the first (cmake -P, registered by cmake/PackageTests.cmake).
#
#   -DSTEP=build     copy the sources as they are (tracked and new files, no
#                    build folders) to WORK_DIR/src and build the programs and
#                    packages in WORK_DIR/build, with the first build's
#                    SOURCE_DATE_EPOCH and without a certificate
#   -DSTEP=compare   the programs, packages and checksum files of both builds
#                    are byte-identical
#   -DSTEP=next      build the copy again as version NEXT_VERSION, for the
#                    upgrade tests of the MSI
#
# Inputs: SOURCE_DIR, BUILD_DIR (the first build), WORK_DIR, VERSION,
# NEXT_VERSION, PROGRAMS (|-separated file names).

cmake_minimum_required(VERSION 3.25)

function(build)
  file(READ "${BUILD_DIR}/package-stage/source-date-epoch" epoch)
  string(STRIP "${epoch}" epoch)
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  unset(ENV{FCBOOT_SIGN_PFX})
  execute_process(COMMAND nice -n 10 "${CMAKE_COMMAND}" --build "${WORK_DIR}/build" -j 2 --target packages
    OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "building the copy failed:\n${out}")
  endif()
endfunction()

if(STEP STREQUAL "build")
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}/src")
  execute_process(
    COMMAND git -C "${SOURCE_DIR}" ls-files -z --cached --others --exclude-standard
    COMMAND tar -C "${SOURCE_DIR}" --null -T - --ignore-failed-read -cf -
    COMMAND tar -C "${WORK_DIR}/src" -xf -
    RESULTS_VARIABLE rcs ERROR_VARIABLE err)
  if(NOT rcs STREQUAL "0;0;0")
    message(FATAL_ERROR "copying the sources failed (${rcs}):\n${err}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" --preset mingw -B "${WORK_DIR}/build" -DFCBOOT_BUILD_TESTS=OFF
    WORKING_DIRECTORY "${WORK_DIR}/src"
    OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring the copy failed:\n${out}")
  endif()
  build()

elseif(STEP STREQUAL "compare")
  string(REPLACE "|" ";" files "${PROGRAMS}")
  foreach(package zip zip.sha256 msi msi.sha256)
    list(APPEND files "fcboot-${VERSION}-win64.${package}")
  endforeach()
  foreach(name IN LISTS files)
    file(SHA256 "${BUILD_DIR}/${name}" first)
    file(SHA256 "${WORK_DIR}/build/${name}" second)
    if(NOT first STREQUAL second)
      message(SEND_ERROR "${name} differs between the two builds")
    endif()
  endforeach()

elseif(STEP STREQUAL "next")
  set(lists "${WORK_DIR}/src/CMakeLists.txt")
  file(READ "${lists}" text)
  set(line "set(FCBOOT_VERSION_STRING \"${VERSION}\")")
  string(FIND "${text}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "no line ${line} in ${lists}")
  endif()
  string(REPLACE "${line}" "set(FCBOOT_VERSION_STRING \"${NEXT_VERSION}\")" text "${text}")
  file(WRITE "${lists}" "${text}")
  build()

else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
