# Tests of the Windows behaviour of the core: the platform layer over Win32 and archives
# written by the Windows build, read back by Python's zipfile on the build machine.
# Included by cmake/WindowsBuild.cmake once the rest of the tree is read; run natively on
# Windows, or under Wine in the mingw-core cross build.
# Found again here: their targets and variables belong to the folder that finds them.
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(GLB_TEST_ENV "TZ=America/Sao_Paulo" "GLB_SOURCE_DIR=${PROJECT_SOURCE_DIR}")

glb_add_gtest(tst_windows_platform SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_windows_platform.cpp LIBS glb::common)
glb_add_gtest(tst_windows_internet SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_windows_internet.cpp LIBS glb::common)

# The archives go to one folder that both sides see: Wine shows the build machine's root
# as drive Z:.
set(_zip_out "${PROJECT_BINARY_DIR}/tests/windows/zip-out")
if(CMAKE_CROSSCOMPILING)
  string(REPLACE "/" "\\" _zip_out_target "Z:${_zip_out}")
else()
  file(TO_NATIVE_PATH "${_zip_out}" _zip_out_target)
endif()
list(APPEND GLB_TEST_ENV "GLB_WINDOWS_ZIP_OUT=${_zip_out_target}")
glb_add_gtest(tst_windows_zip SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_windows_zip.cpp LIBS glb::archive)
set_tests_properties(tst_windows_zip PROPERTIES FIXTURES_SETUP glb_windows_zip)

add_test(NAME tst_windows_zip_readback COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_windows_zip.py)
set_tests_properties(tst_windows_zip_readback PROPERTIES FIXTURES_REQUIRED glb_windows_zip
                     ENVIRONMENT "GLB_WINDOWS_ZIP_OUT_HOST=${_zip_out}")

glb_add_gtest(tst_windows_resources SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_windows_resources.cpp LIBS version)
glb_add_windows_resources(tst_windows_resources MANIFEST_ID 100)
