# Cross build for 64-bit Windows with MinGW-w64 (posix threading model).
# Test programs run under Wine through scripts/wine-run.sh, with a Wine
# prefix of their own inside the build tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FCBOOT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FCBOOT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FCBOOT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FCBOOT_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW sysroot only; build tools come
# from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${FCBOOT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static runtime (no MinGW DLL beside fcboot.exe) is set by the project
# for every MinGW build, this toolchain or another; a test checks the imports.

get_filename_component(_fcboot_wine_run ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_fcboot_wine_run};${CMAKE_BINARY_DIR}/wineprefix")
