# The wait overlay: panel, animated GIF with its timer thread, database-wait pointer.
target_sources(glb_app PRIVATE
  WaitOverlay.cpp
  OverlayPanel.cpp
  OverlayAnimation.cpp
  OverlayGeometry.cpp
  OverlayCursor.cpp
  GifFile.cpp
)

# The program loads its animated bar from beside its own file, so the build puts the
# project's drawing there. Deferred: the program target is defined after this file.
set(GLB_LOADING_GIF ${CMAKE_CURRENT_SOURCE_DIR}/resources/carregandobarra.gif)
function(glb_place_loading_gif)
  if(TARGET BackupGlebarium)
    add_custom_command(TARGET BackupGlebarium POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${GLB_LOADING_GIF}
              $<TARGET_FILE_DIR:BackupGlebarium>/carregandobarra.gif
      VERBATIM)
  endif()
endfunction()
cmake_language(DEFER CALL glb_place_loading_gif)
