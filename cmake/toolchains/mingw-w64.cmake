# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64,
# libz-mingw-w64-dev). Programs are linked statically, so they run under Wine (used as
# the emulator for CTest) without any DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GLB_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex, which GoogleTest uses.
set(CMAKE_C_COMPILER ${GLB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GLB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${GLB_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${GLB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(GLB_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(GLB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GLB_WINE})
endif()
