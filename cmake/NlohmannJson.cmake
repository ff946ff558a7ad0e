# nlohmann-json is header-only. A cross build must not put the build
# machine's /usr/include on its include path, so the header folder is linked
# into a folder of the build tree that holds nothing else.
find_path(FCBOOT_NLOHMANN_JSON_DIR nlohmann/json.hpp
  PATHS /usr/include /usr/local/include
  NO_CMAKE_FIND_ROOT_PATH)
if(NOT FCBOOT_NLOHMANN_JSON_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found (Debian package nlohmann-json3-dev)")
endif()
set(_fcboot_json_include ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${_fcboot_json_include})
if(NOT EXISTS ${_fcboot_json_include}/nlohmann)
  file(CREATE_LINK ${FCBOOT_NLOHMANN_JSON_DIR}/nlohmann ${_fcboot_json_include}/nlohmann SYMBOLIC)
endif()
add_library(fcboot_nlohmann_json INTERFACE)
target_include_directories(fcboot_nlohmann_json SYSTEM INTERFACE ${_fcboot_json_include})
