# The Windows packages, built by the target "packages" into the build folder:
#
#   fcboot-<version>-win64.zip   unpacked anywhere, nothing installed
#   fcboot-<version>-win64.msi   installed per machine into %ProgramFiles%\fcboot
#
# each with a SHA-256 checksum file beside it. Both hold the same files: the
# programs, the administrator's README, the user's references and the
# examples. packaging/make_packages.py builds them from what `cmake --install`
# puts in the "fcboot" component, so nothing else of the build can slip in;
# it signs them when FCBOOT_SIGN_PFX names a certificate (scripts/sign.sh).
#
#   cmake --build <build> --target packages

set(_fcboot_pkg_component fcboot)
set(FCBOOT_PACKAGE_NAME fcboot-${FCBOOT_VERSION_STRING}-win64)

# The programs the packages ship (their targets FCBOOT_SHIPPED_PROGRAMS, their
# files FCBOOT_SHIPPED_PROGRAM_FILES), each with the version resource that
# Windows shows for it and a line in the package's README. A new program is
# one more call.
set(FCBOOT_SHIPPED_PROGRAMS)
set(FCBOOT_SHIPPED_PROGRAM_FILES)
set(FCBOOT_PROGRAM_LINES)
function(fcboot_ship target description)
  set(FCBOOT_RC_NAME ${target})
  set(FCBOOT_RC_FILE ${target}.exe)
  set(FCBOOT_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/version-resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set(FCBOOT_SHIPPED_PROGRAMS ${FCBOOT_SHIPPED_PROGRAMS} ${target} PARENT_SCOPE)
  set(FCBOOT_SHIPPED_PROGRAM_FILES ${FCBOOT_SHIPPED_PROGRAM_FILES} $<TARGET_FILE:${target}> PARENT_SCOPE)
  string(LENGTH "${target}.exe" length)
  math(EXPR pad "20 - ${length}")
  string(REPEAT " " ${pad} spaces)
  set(line "${target}.exe${spaces} ${description}")
  if(FCBOOT_PROGRAM_LINES)
    # The README's lines end with CR LF; configure_file leaves the ends of
    # lines within a value as they are.
    set(line "${FCBOOT_PROGRAM_LINES}\r\n${line}")
  endif()
  set(FCBOOT_PROGRAM_LINES "${line}" PARENT_SCOPE)
endfunction()
fcboot_ship(fcboot "Saves and restores Fibre Channel adapter boot settings")
fcboot_ship(fcboot-emu "Rehearses fcboot commands on an emulated server")
fcboot_ship(fcboot-diff "Compares boot configuration files as a load reads them")
fcboot_ship(fcboot-capture "Captures the adapters into a fleet file, reading only")
fcboot_ship(fcboot-check "Tells whether the server will boot from the SAN, reading only")

install(TARGETS ${FCBOOT_SHIPPED_PROGRAMS}
  RUNTIME DESTINATION .
  COMPONENT ${_fcboot_pkg_component})

# Notepad and the administrators' tools expect carriage return and line feed;
# the example boot configuration file is what fcboot.exe itself writes.
set(_fcboot_pkg_files ${CMAKE_BINARY_DIR}/package-files)
configure_file(packaging/README.txt ${_fcboot_pkg_files}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(examples/boot.cfg ${_fcboot_pkg_files}/boot.cfg @ONLY NEWLINE_STYLE CRLF)
install(FILES ${_fcboot_pkg_files}/README.txt
  DESTINATION .
  COMPONENT ${_fcboot_pkg_component})
# The README points to docs/..., and the user's guide to fleet-file.md beside it.
install(FILES docs/user-guide.md docs/fleet-file.md
  DESTINATION docs
  COMPONENT ${_fcboot_pkg_component})
install(FILES ${_fcboot_pkg_files}/boot.cfg examples/demo-fleet.json
  DESTINATION examples
  COMPONENT ${_fcboot_pkg_component})
# The playbooks run on a Linux controller: their line ends stay as they are.
install(DIRECTORY examples/ansible
  DESTINATION examples
  COMPONENT ${_fcboot_pkg_component})
# The check's monitoring definitions: for the monitoring server, and for the
# agent on the Windows server.
install(DIRECTORY examples/monitoring
  DESTINATION examples
  COMPONENT ${_fcboot_pkg_component})

# Debian's interpreter, which has the modules scripts/install-deps.sh installs
# (olefile, pefile), whatever python3 comes first on PATH.
find_program(FCBOOT_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
set(FCBOOT_PACKAGES
  ${CMAKE_BINARY_DIR}/${FCBOOT_PACKAGE_NAME}.zip ${CMAKE_BINARY_DIR}/${FCBOOT_PACKAGE_NAME}.zip.sha256
  ${CMAKE_BINARY_DIR}/${FCBOOT_PACKAGE_NAME}.msi ${CMAKE_BINARY_DIR}/${FCBOOT_PACKAGE_NAME}.msi.sha256)
# The packer's command line, shared with the tests of its failures.
set(_fcboot_pkg_command ${FCBOOT_PYTHON3} ${CMAKE_SOURCE_DIR}/packaging/make_packages.py
  --cmake ${CMAKE_COMMAND}
  --build-dir ${CMAKE_BINARY_DIR}
  --component ${_fcboot_pkg_component}
  --name ${FCBOOT_PACKAGE_NAME}
  --source-dir ${CMAKE_SOURCE_DIR}
  --version-string ${FCBOOT_VERSION_STRING}
  --msi-version ${FCBOOT_VERSION_NUMERIC}
  --wxs ${CMAKE_SOURCE_DIR}/packaging/fcboot.wxs)
# Packed afresh every time: whether they are signed is not known to the build.
add_custom_target(packages
  COMMAND ${_fcboot_pkg_command} --sign ${CMAKE_SOURCE_DIR}/scripts/sign.sh
  BYPRODUCTS ${FCBOOT_PACKAGES}
  VERBATIM)
add_dependencies(packages ${FCBOOT_SHIPPED_PROGRAMS})

# Beside them, the rollout role as the Ansible collection fcboot.rollout
# (fcboot-rollout-<version>.tar.gz, with its README), for the controller.
find_program(FCBOOT_ANSIBLE_GALAXY ansible-galaxy)
if(FCBOOT_ANSIBLE_GALAXY)
  add_custom_command(TARGET packages POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env ANSIBLE_HOME=${CMAKE_BINARY_DIR}/ansible-home
      ${CMAKE_SOURCE_DIR}/packaging/build-collection.sh ${FCBOOT_VERSION_STRING} ${CMAKE_BINARY_DIR}
    VERBATIM)
else()
  message(STATUS "ansible-galaxy not found: the packages are built without the Ansible collection")
endif()

if(FCBOOT_BUILD_TESTS)
  include(${CMAKE_CURRENT_LIST_DIR}/PackageTests.cmake)
endif()
