add_library(glb_backup STATIC SendBackupCommand.cpp SendBackupFactory.cpp ArchivePacking.cpp SendProgress.cpp)
add_library(glb::backup ALIAS glb_backup)
target_link_libraries(glb_backup PUBLIC glb::folders glb::farmlist glb::service)
glb_set_warnings(glb_backup)
