target_sources(glb_app PRIVATE WaitOverlay.cpp)
