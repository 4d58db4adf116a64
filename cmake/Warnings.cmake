# Warning flags per target. Warnings become errors only through
# CMAKE_COMPILE_WARNING_AS_ERROR (dev and ci presets), so a newer compiler never
# breaks a user's build.
function(glb_set_warnings target)
  cmake_parse_arguments(W "CONVERSION" "" "" ${ARGN})
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
      -Wold-style-cast -Woverloaded-virtual -Wformat=2 -Wcast-align)
    if(W_CONVERSION)
      target_compile_options(${target} PRIVATE -Wconversion -Wsign-conversion)
    endif()
  endif()
endfunction()
