target_sources(glb_service PRIVATE ServiceContract.cpp UploadCall.cpp Url.cpp)
