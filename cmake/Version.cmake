# The numeric form of FCBOOT_VERSION_STRING, for the places where Windows
# takes numbers only: the MSI's ProductVersion (MAJOR.MINOR.BUILD, each field
# at most 255, 255 and 65535; Windows Installer compares these three) and the
# programs' version resources.
#
#   MAJOR.MINOR.<letter><n>  ->  MAJOR.MINOR.(<letter's place, a=1 ... z=26> * 1000 + n)
#   MAJOR.MINOR[.<n>]        ->  MAJOR.MINOR.(27000 + n)
#
# So 1.0.a3 is 1.0.1003, 1.0.a4 is 1.0.1004, 1.0.b1 is 1.0.2001, and a version
# without a letter (1.0 is 1.0.27000) comes after every lettered one of the
# same MAJOR.MINOR. Sets FCBOOT_VERSION_NUMERIC.

set(_fcboot_letters abcdefghijklmnopqrstuvwxyz)
if(FCBOOT_VERSION_STRING MATCHES "^([0-9]+)\\.([0-9]+)\\.([a-z])([0-9]+)$")
  string(FIND ${_fcboot_letters} ${CMAKE_MATCH_3} _fcboot_place)
  math(EXPR _fcboot_build "(${_fcboot_place} + 1) * 1000 + ${CMAKE_MATCH_4}")
  set(_fcboot_n ${CMAKE_MATCH_4})
elseif(FCBOOT_VERSION_STRING MATCHES "^([0-9]+)\\.([0-9]+)(\\.([0-9]+))?$")
  set(_fcboot_n 0${CMAKE_MATCH_4})
  math(EXPR _fcboot_build "27000 + ${_fcboot_n}")
else()
  message(FATAL_ERROR "FCBOOT_VERSION_STRING \"${FCBOOT_VERSION_STRING}\" is neither "
                      "MAJOR.MINOR.<letter><number> nor MAJOR.MINOR[.<number>]")
endif()
if(CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR _fcboot_n GREATER 999
   OR _fcboot_build GREATER 65535)
  message(FATAL_ERROR "FCBOOT_VERSION_STRING \"${FCBOOT_VERSION_STRING}\" has no numeric form: "
                      "MAJOR and MINOR go up to 255, the last number up to 999")
endif()
math(EXPR FCBOOT_VERSION_NUMERIC_MAJOR "${CMAKE_MATCH_1}")
math(EXPR FCBOOT_VERSION_NUMERIC_MINOR "${CMAKE_MATCH_2}")
set(FCBOOT_VERSION_NUMERIC_BUILD ${_fcboot_build})
set(FCBOOT_VERSION_NUMERIC
  ${FCBOOT_VERSION_NUMERIC_MAJOR}.${FCBOOT_VERSION_NUMERIC_MINOR}.${FCBOOT_VERSION_NUMERIC_BUILD})
