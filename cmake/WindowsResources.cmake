# The program file's Windows resources: icon, version information (Portuguese, Brazil)
# and the manifest (administrator rights, common controls version 6).
# Use from app/CMakeLists.txt:
#   include(${PROJECT_SOURCE_DIR}/cmake/WindowsResources.cmake)
#   glb_add_windows_resources(BackupGlebarium)
# Elsewhere than on Windows it does nothing.
if(WIN32 AND NOT CMAKE_RC_COMPILER_LOADED)
  enable_language(RC)
endif()

set(GLB_WINDOWS_RESOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../app/resources")
cmake_path(NORMAL_PATH GLB_WINDOWS_RESOURCE_DIR)

# The file version is the project's: four numbers, the missing ones 0.
function(glb_write_windows_version_header)
  set(numbers ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
  list(TRANSFORM numbers REPLACE "^$" "0")
  list(LENGTH numbers count)
  while(count LESS 4)
    list(APPEND numbers 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(JOIN numbers "," GLB_FILE_VERSION_NUMBERS)
  list(JOIN numbers "." GLB_FILE_VERSION_TEXT)
  configure_file("${GLB_WINDOWS_RESOURCE_DIR}/windows/Version.h.in"
                 "${PROJECT_BINARY_DIR}/generated/windows/Version.h" @ONLY)
endfunction()

# glb_add_windows_resources(target [MANIFEST_ID id]): MANIFEST_ID other than 1 stores the
# manifest where the loader does not apply it (tests read it back without elevation).
function(glb_add_windows_resources target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(R "" "MANIFEST_ID" "" ${ARGN})
  set(dir "${GLB_WINDOWS_RESOURCE_DIR}")
  glb_write_windows_version_header()
  target_sources(${target} PRIVATE "${dir}/windows/BackupGlebarium.rc")
  target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${dir}> $<$<COMPILE_LANGUAGE:RC>:${dir}/windows>
                             $<$<COMPILE_LANGUAGE:RC>:${PROJECT_BINARY_DIR}/generated/windows>)
  if(MSVC AND NOT R_MANIFEST_ID)
    # The linker merges it into the manifest it embeds; its own UAC entry would clash.
    target_sources(${target} PRIVATE "${dir}/windows/BackupGlebarium.manifest")
    target_link_options(${target} PRIVATE /MANIFESTUAC:NO)
  else()
    target_compile_definitions(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:GLB_EMBED_MANIFEST>)
    if(R_MANIFEST_ID)
      target_compile_definitions(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:GLB_MANIFEST_ID=${R_MANIFEST_ID}>)
    endif()
  endif()
endfunction()
