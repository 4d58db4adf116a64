# The Windows package of the cross build: target `package-windows` writes
# build/<preset>/package/BackupGlebarium-<version>-win64.zip (scripts/lib/package_windows.py
# says what it holds). Included from app/CMakeLists.txt; nothing elsewhere than in the
# mingw-w64 cross build.
if(NOT (WIN32 AND CMAKE_CROSSCOMPILING AND GLB_WINDOWS_PREFIX))
  return()
endif()

if(EXISTS /usr/bin/python3 AND NOT DEFINED Python3_EXECUTABLE)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(GLB_MINGW_OBJDUMP ${GLB_MINGW_TRIPLE}-objdump REQUIRED)
find_program(GLB_MINGW_STRIP ${GLB_MINGW_TRIPLE}-strip REQUIRED)
# Wine's own DLLs stand for the ones Windows provides.
find_path(GLB_WINE_SYSTEM_DIR kernel32.dll
          PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)

set(GLB_PACKAGE_DIR "${PROJECT_BINARY_DIR}/package")
# The end-to-end tests (tests/e2e) unpack it.
set(GLB_PACKAGE_ZIP "${GLB_PACKAGE_DIR}/BackupGlebarium-${PROJECT_VERSION}-win64.zip" CACHE INTERNAL "")
set(_glb_package_command ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/lib/package_windows.py
    --version ${PROJECT_VERSION}
    --program $<TARGET_FILE:BackupGlebarium>
    --gif ${PROJECT_SOURCE_DIR}/app/resources/carregandobarra.gif
    --readme ${PROJECT_SOURCE_DIR}/app/resources/windows/LEIA-ME.txt
    --plugins ${GLB_WINDOWS_PREFIX}/plugins
    --objdump ${GLB_MINGW_OBJDUMP} --strip ${GLB_MINGW_STRIP}
    --wine-system ${GLB_WINE_SYSTEM_DIR}
    --out ${GLB_PACKAGE_DIR})
foreach(dir IN LISTS GLB_WINDOWS_DLL_DIRS)
  list(APPEND _glb_package_command --dll-dir ${dir})
endforeach()
add_custom_target(package-windows COMMAND ${_glb_package_command} DEPENDS BackupGlebarium VERBATIM
                  COMMENT "Packaging ${GLB_PACKAGE_ZIP}")
