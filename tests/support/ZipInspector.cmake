# ZipInspector: an independent reading of the archives the writer makes (records, fields,
# inflated data, CRC), plus Python's zipfile and unzip -t as readers of their own.
if(WIN32)
  return() # used only by the Linux archive tests
endif()
add_library(glb_zipinspector STATIC ${CMAKE_CURRENT_LIST_DIR}/ZipInspector.cpp)
add_library(glb::zipinspector ALIAS glb_zipinspector)
target_include_directories(glb_zipinspector PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(glb_zipinspector PUBLIC glb::testsupport PRIVATE ZLIB::ZLIB)
glb_set_warnings(glb_zipinspector)
