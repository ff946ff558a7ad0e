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

# Every program carries its C and C++ runtime and the threading library, so
# that fcboot.exe runs on a server with nothing but Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
