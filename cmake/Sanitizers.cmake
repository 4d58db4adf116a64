# GLB_SANITIZE=ON builds everything with AddressSanitizer and UBSan; undefined
# behaviour aborts, so it fails the test that hit it.
option(GLB_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(GLB_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
