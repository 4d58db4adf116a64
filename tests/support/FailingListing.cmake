# FailingListingFolder: a FUSE folder whose listing fails part-way (Linux only; needs
# python3-fusepy, and /dev/fuse to run).
if(WIN32)
  return()
endif()
add_library(glb_failinglisting STATIC ${CMAKE_CURRENT_LIST_DIR}/FailingListing.cpp)
add_library(glb::failinglisting ALIAS glb_failinglisting)
target_include_directories(glb_failinglisting PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(glb_failinglisting PRIVATE GLB_TEST_PYTHON="${Python3_EXECUTABLE}"
  GLB_FAILING_LISTING_FS="${CMAKE_CURRENT_LIST_DIR}/failing_listing_fs.py")
glb_set_warnings(glb_failinglisting)
