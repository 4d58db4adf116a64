target_sources(glb_service PRIVATE
  Base64.cpp
  EnvelopeWriter.cpp
  Registry.cpp
  RequestBody.cpp
  ServiceContract.cpp
  ServiceProxy.cpp
  UploadCall.cpp
  Url.cpp
)
