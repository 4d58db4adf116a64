# Windows-only additions to the build, included right after project() by the `windows`
# and `mingw` presets (CMAKE_PROJECT_BackupGlebarium_INCLUDE), so the shared build
# files stay as they are:
#  - GLB_GTEST_FROM_SOURCE: GoogleTest built from Debian's sources (/usr/src/googletest)
#    with the cross compiler, installed inside the build tree and found by
#    find_package(GTest) like any installed copy;
#  - the program file's resources (cmake/WindowsResources.cmake).
if(NOT WIN32)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/WindowsResources.cmake)

option(GLB_GTEST_FROM_SOURCE "Build GoogleTest from its sources with the cross compiler" OFF)
set(GLB_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources for GLB_GTEST_FROM_SOURCE")

function(glb_build_gtest_from_source)
  set(build "${CMAKE_BINARY_DIR}/_deps/googletest-build")
  set(prefix "${CMAKE_BINARY_DIR}/_deps/googletest")
  set(config "${prefix}/lib/cmake/GTest/GTestConfig.cmake")
  if(NOT EXISTS "${config}")
    if(NOT EXISTS "${GLB_GTEST_SOURCE_DIR}/CMakeLists.txt")
      message(FATAL_ERROR "GoogleTest sources not found in ${GLB_GTEST_SOURCE_DIR} (Debian package googletest)")
    endif()
    message(STATUS "Building GoogleTest from ${GLB_GTEST_SOURCE_DIR}")
    execute_process(
      COMMAND ${CMAKE_COMMAND} -S "${GLB_GTEST_SOURCE_DIR}" -B "${build}" -G "${CMAKE_GENERATOR}"
              "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}" -DCMAKE_BUILD_TYPE=Release
              "-DCMAKE_INSTALL_PREFIX=${prefix}" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
      OUTPUT_QUIET RESULT_VARIABLE configured)
    if(NOT configured EQUAL 0)
      message(FATAL_ERROR "Configuring GoogleTest failed (${configured})")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} --build "${build}" --target install
                    OUTPUT_QUIET RESULT_VARIABLE built)
    if(NOT built EQUAL 0)
      message(FATAL_ERROR "Building GoogleTest failed (${built})")
    endif()
  endif()
  set(GTest_DIR "${prefix}/lib/cmake/GTest" CACHE PATH "GoogleTest built from source" FORCE)
endfunction()

if(GLB_GTEST_FROM_SOURCE AND (NOT DEFINED GLB_BUILD_TESTS OR GLB_BUILD_TESTS))
  glb_build_gtest_from_source()
endif()
