# LockingProcess: a child process that holds a flock on a file (POSIX only).
if(WIN32)
  return()
endif()
add_library(glb_lockingprocess STATIC ${CMAKE_CURRENT_LIST_DIR}/LockingProcess.cpp)
add_library(glb::lockingprocess ALIAS glb_lockingprocess)
target_include_directories(glb_lockingprocess PUBLIC ${PROJECT_SOURCE_DIR})
glb_set_warnings(glb_lockingprocess)
