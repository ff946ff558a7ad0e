# Tests of the Windows packages as administrators receive them (included by
# cmake/Packaging.cmake in test builds). They check the packages the target
# "packages" built, so build it before running them.

set(_fcboot_pkg_tests ${CMAKE_SOURCE_DIR}/tests/packaging)
set(_fcboot_pkg_msi ${CMAKE_BINARY_DIR}/${FCBOOT_PACKAGE_NAME}.msi)
set(_fcboot_pkg_stage ${CMAKE_BINARY_DIR}/package-stage/${FCBOOT_PACKAGE_NAME})
set(_fcboot_pkg_version_line "${FCBOOT_VERSION_STRING}, dated ${FCBOOT_VERSION_DATE}")
set(_fcboot_wine_run ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh)
string(REPLACE ";" "|" _fcboot_pkg_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")

# The zip unpacked, its programs run from there.
string(REPLACE ";" "|" _fcboot_pkg_program_list "${FCBOOT_SHIPPED_PROGRAM_FILES}")
add_test(NAME package_zip
  COMMAND ${CMAKE_COMMAND}
    -DPACKAGE_DIR=${CMAKE_BINARY_DIR}
    -DWORK_DIR=${CMAKE_BINARY_DIR}/package-check
    -DPACKAGE_NAME=${FCBOOT_PACKAGE_NAME}
    "-DEMULATOR=${_fcboot_pkg_emulator}"
    "-DVERSION_LINE=${_fcboot_pkg_version_line}"
    -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    "-DPROGRAMS=${_fcboot_pkg_program_list}"
    -P ${_fcboot_pkg_tests}/zip_checks.cmake)
set_tests_properties(package_zip PROPERTIES FIXTURES_REQUIRED wine_prefix)

add_test(NAME version_resource
  COMMAND ${FCBOOT_PYTHON3} ${_fcboot_pkg_tests}/version_resource_check.py
    ${FCBOOT_VERSION_STRING} ${FCBOOT_VERSION_NUMERIC} ${FCBOOT_SHIPPED_PROGRAM_FILES})

add_test(NAME package_signing
  COMMAND ${_fcboot_pkg_tests}/sign_checks.sh ${CMAKE_BINARY_DIR}/package-signing
    ${CMAKE_SOURCE_DIR}/scripts/sign.sh $<TARGET_FILE:fcboot> ${_fcboot_pkg_msi})

# A failed step of packing (a bad SOURCE_DATE_EPOCH, a failed signing)
# leaves no package and no checksum file.
add_test(NAME package_failures
  COMMAND ${_fcboot_pkg_tests}/package_failure_checks.sh ${CMAKE_BINARY_DIR}/package-failures
    ${FCBOOT_PACKAGE_NAME} ${_fcboot_pkg_command})

# A second build from a copy of the sources: the same bytes. Then the copy
# built as the next version, for the upgrade tests.
string(REGEX MATCH "^(.*[^0-9])?([0-9]+)$" _ "${FCBOOT_VERSION_STRING}")
math(EXPR _fcboot_next "${CMAKE_MATCH_2} + 1")
set(_fcboot_next_version ${CMAKE_MATCH_1}${_fcboot_next})
set(_fcboot_rebuild ${CMAKE_BINARY_DIR}/rebuild)
list(TRANSFORM FCBOOT_SHIPPED_PROGRAMS APPEND .exe OUTPUT_VARIABLE _fcboot_pkg_names)
string(REPLACE ";" "|" _fcboot_pkg_name_list "${_fcboot_pkg_names}")
foreach(step build compare next)
  add_test(NAME package_rebuild_${step}
    COMMAND ${CMAKE_COMMAND} -DSTEP=${step}
      -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DWORK_DIR=${_fcboot_rebuild}
      -DVERSION=${FCBOOT_VERSION_STRING} -DNEXT_VERSION=${_fcboot_next_version}
      "-DPROGRAMS=${_fcboot_pkg_name_list}"
      -P ${_fcboot_pkg_tests}/rebuild_checks.cmake)
endforeach()
set_tests_properties(package_rebuild_build PROPERTIES FIXTURES_SETUP package_rebuild)
set_tests_properties(package_rebuild_compare PROPERTIES FIXTURES_REQUIRED package_rebuild)
# After the comparison: it changes the copy's build.
set_tests_properties(package_rebuild_next PROPERTIES
  FIXTURES_REQUIRED package_rebuild FIXTURES_SETUP package_next_version
  DEPENDS package_rebuild_compare)

# The MSI under Wine, each scenario in a fresh prefix of its own.
set(_fcboot_next_msi ${_fcboot_rebuild}/build/fcboot-${_fcboot_next_version}-win64.msi)
foreach(scenario install upgrade downgrade)
  add_test(NAME msi_${scenario}
    COMMAND ${_fcboot_pkg_tests}/msi_checks.sh ${scenario} ${CMAKE_BINARY_DIR}/msi-${scenario}/wineprefix
      ${_fcboot_wine_run} ${_fcboot_pkg_stage} ${_fcboot_pkg_msi} ${_fcboot_pkg_version_line}
      ${_fcboot_next_msi} "${_fcboot_next_version}, dated ${FCBOOT_VERSION_DATE}")
  if(NOT scenario STREQUAL "install")
    set_tests_properties(msi_${scenario} PROPERTIES FIXTURES_REQUIRED package_next_version)
  endif()
endforeach()

# The playbooks and the collection built beside the packages: syntax check,
# lint at the production profile, the collection installed.
add_test(NAME ansible_playbooks
  COMMAND ${_fcboot_pkg_tests}/ansible_checks.sh ${CMAKE_BINARY_DIR}/ansible-check
    ${CMAKE_SOURCE_DIR}/examples/ansible ${FCBOOT_VERSION_STRING} ${CMAKE_BINARY_DIR})
