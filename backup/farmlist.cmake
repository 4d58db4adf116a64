# The farm list: TQuery and TSession over SQLite, with the Paradox reader as a virtual table.
find_package(SQLite3 REQUIRED)
add_library(glb_farmlist STATIC FarmList.cpp)
add_library(glb::farmlist ALIAS glb_farmlist)
target_link_libraries(glb_farmlist PUBLIC glb::common glb::paradox PRIVATE SQLite::SQLite3)
glb_set_warnings(glb_farmlist)
