# A fuzzing build: every target is compiled with libFuzzer's coverage instrumentation plus
# AddressSanitizer and UndefinedBehaviorSanitizer, so that the module code the fuzz targets reach
# is instrumented too. Only clang provides libFuzzer.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "KOVON_BUILD_FUZZ needs clang (for example -DCMAKE_CXX_COMPILER=clang++-14)")
endif()
if(NOT KOVON_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KOVON_BUILD_FUZZ brings its own sanitizers; leave KOVON_SANITIZE empty")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
