# The Windows package: fcboot-<version>-win64.zip with the two programs, the
# user's references, an example boot configuration file and the demo fleet,
# and a SHA-256 checksum file beside it.
#
#   cpack --config <build>/CPackConfig.cmake   (or: cmake --build <build> --target package)
#
# Everything in the zip is installed as the "fcboot" component, and only that
# component is packed, so nothing another part of the build installs can slip
# into it.

set(_fcboot_pkg_component fcboot)

install(TARGETS fcboot fcboot-emu fcboot-capture
  RUNTIME DESTINATION .
  COMPONENT ${_fcboot_pkg_component})
install(FILES README.md
  DESTINATION .
  COMPONENT ${_fcboot_pkg_component})
# README links to docs/..., and the user's guide to fleet-file.md beside it.
install(FILES docs/user-guide.md docs/fleet-file.md
  DESTINATION docs
  COMPONENT ${_fcboot_pkg_component})

# Notepad and the administrators' tools expect carriage return and line feed;
# the example is what fcboot.exe itself writes on Windows.
set(_fcboot_pkg_boot_cfg ${CMAKE_BINARY_DIR}/package-files/boot.cfg)
configure_file(examples/boot.cfg ${_fcboot_pkg_boot_cfg} @ONLY NEWLINE_STYLE CRLF)
install(FILES ${_fcboot_pkg_boot_cfg} examples/demo-fleet.json
  DESTINATION examples
  COMPONENT ${_fcboot_pkg_component})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME fcboot)
set(CPACK_PACKAGE_VENDOR fcboot)
set(CPACK_PACKAGE_VERSION ${FCBOOT_VERSION_STRING})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Saves and restores the boot settings of a server's Fibre Channel host bus adapters")
set(FCBOOT_PACKAGE_FILE_NAME fcboot-${FCBOOT_VERSION_STRING}-win64)
set(CPACK_PACKAGE_FILE_NAME ${FCBOOT_PACKAGE_FILE_NAME})
# Unpacking gives one folder named like the zip, not files strewn about.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};${_fcboot_pkg_component};/")
# The zip lands in the build folder wherever cpack is started from.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)

# The package as a user gets it: packed afresh into a folder of its own,
# unpacked, and run from there under the crossing emulator.
if(FCBOOT_BUILD_TESTS)
  string(REPLACE ";" "|" _fcboot_pkg_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_test(NAME package_zip
    COMMAND ${CMAKE_COMMAND}
      -DCPACK=${CMAKE_CPACK_COMMAND}
      -DCPACK_CONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake
      -DWORK_DIR=${CMAKE_BINARY_DIR}/package-check
      -DPACKAGE_NAME=${FCBOOT_PACKAGE_FILE_NAME}
      "-DEMULATOR=${_fcboot_pkg_emulator}"
      "-DVERSION_LINE=${FCBOOT_VERSION_STRING}, dated ${FCBOOT_VERSION_DATE}"
      -DEXAMPLE=${CMAKE_SOURCE_DIR}/examples/boot.cfg
      "-DPROGRAMS=$<TARGET_FILE:fcboot>|$<TARGET_FILE:fcboot-emu>"
      -P ${CMAKE_CURRENT_LIST_DIR}/PackageCheck.cmake)
  set_tests_properties(package_zip PROPERTIES TIMEOUT 600)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set_tests_properties(package_zip PROPERTIES FIXTURES_REQUIRED wine_prefix)
  endif()
endif()
