# Tests of the Windows behaviour of the core: the platform layer over Win32 and archives
# written by the Windows build, read back by Python's zipfile on the build machine.
# Included by cmake/WindowsBuild.cmake once the rest of the tree is read; run natively on
# Windows, or under Wine in the mingw-core cross build.
find_package(GTest REQUIRED) # its targets belong to the folder that finds them
set(GLB_TEST_ENV "TZ=America/Sao_Paulo" "GLB_SOURCE_DIR=${PROJECT_SOURCE_DIR}")

glb_add_gtest(tst_windows_platform SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_windows_platform.cpp LIBS glb::common)
