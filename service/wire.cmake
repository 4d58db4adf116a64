target_sources(glb_service PRIVATE CurlTransport.cpp ResponseDecoder.cpp ServiceErrors.cpp)
