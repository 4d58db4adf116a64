# GLB_SANITIZE=ON builds everything with AddressSanitizer and UBSan; undefined
# behaviour aborts, so it fails the test that hit it.
option(GLB_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(GLB_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# The fuzz build (GLB_BUILD_FUZZ=ON, clang) gives every target libFuzzer's coverage
# instrumentation besides both sanitizers, so the fuzzer sees into the libraries its
# targets link; only the fuzz programs link libFuzzer itself. The checking code of the
# targets is left out of the coverage (fuzz/coverage-ignorelist.txt).
if(GLB_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined
                      -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/fuzz/coverage-ignorelist.txt)
  add_link_options(-fsanitize=address,undefined)
endif()
