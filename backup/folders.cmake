# The folder routines need only the archive writer (they also build for Windows alone).
add_library(glb_folders STATIC FolderRoutines.cpp)
add_library(glb::folders ALIAS glb_folders)
target_link_libraries(glb_folders PUBLIC glb::archive)
glb_set_warnings(glb_folders)
