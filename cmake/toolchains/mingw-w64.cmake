# Cross build for 64-bit Windows with Debian's mingw-w64 posix compilers
# (g++-mingw-w64-x86-64-posix, libz-mingw-w64-dev), over the Windows libraries that
# scripts/windows-libs builds from Debian's sources (Qt 6, libcurl, libxml2, SQLite).
# GLB_WINDOWS_PREFIX (a cache variable or the environment) names that prefix; it is
# searched after the compiler's own root.
#
# The program and its tests use the compiler's runtime as DLLs (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll), the same ones the Qt DLLs use, so one C++
# runtime serves the whole process. zlib is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GLB_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex.
set(CMAKE_C_COMPILER ${GLB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GLB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${GLB_MINGW_TRIPLE}-windres)

if(NOT GLB_WINDOWS_PREFIX AND NOT "$ENV{GLB_WINDOWS_PREFIX}" STREQUAL "")
  set(GLB_WINDOWS_PREFIX "$ENV{GLB_WINDOWS_PREFIX}" CACHE PATH "The Windows libraries (scripts/windows-libs)" FORCE)
endif()
# try_compile projects read this file again: hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GLB_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${GLB_MINGW_TRIPLE} ${GLB_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ZLIB_USE_STATIC_LIBS ON)

# Qt's tools (moc, rcc, uic) are the build machine's: Debian's Qt of the same version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

# The folders Wine needs on its search path to start a program of this build: the
# compiler's runtime DLLs and the libraries' DLLs.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE _glb_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(GLB_MINGW_RUNTIME_DIR "${_glb_libstdcxx}" DIRECTORY)
set(GLB_WINDOWS_DLL_DIRS "${GLB_MINGW_RUNTIME_DIR}" /usr/${GLB_MINGW_TRIPLE}/lib)
if(GLB_WINDOWS_PREFIX)
  list(APPEND GLB_WINDOWS_DLL_DIRS "${GLB_WINDOWS_PREFIX}/bin")
endif()

find_program(GLB_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(GLB_WINE)
  list(JOIN GLB_WINDOWS_DLL_DIRS ":" _glb_dll_dirs)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../wine-run" "${_glb_dll_dirs}")
endif()
