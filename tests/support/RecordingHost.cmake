# RecordingHost: a window stand-in for tests of the send command.
if(TARGET glb::backup)
  add_library(glb_recordinghost STATIC ${CMAKE_CURRENT_LIST_DIR}/RecordingHost.cpp)
  add_library(glb::recordinghost ALIAS glb_recordinghost)
  target_include_directories(glb_recordinghost PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(glb_recordinghost PUBLIC glb::backup)
  glb_set_warnings(glb_recordinghost)
endif()
