# An HTTP server on 127.0.0.1 inside the test process (POSIX sockets).
# Only the service tests use it, and a core-only build has none.
if(GLB_CORE_ONLY)
  return()
endif()
find_package(Threads REQUIRED)
add_library(glb_loopbackhttp STATIC ${CMAKE_CURRENT_LIST_DIR}/LoopbackHttpServer.cpp)
add_library(glb::loopbackhttp ALIAS glb_loopbackhttp)
target_include_directories(glb_loopbackhttp PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(glb_loopbackhttp PUBLIC Threads::Threads)
glb_set_warnings(glb_loopbackhttp)
