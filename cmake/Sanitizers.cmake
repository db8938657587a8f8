# KOVON_SANITIZE=address builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# KOVON_SANITIZE=thread with ThreadSanitizer. Both stop at the first report so that a test fails.
if(KOVON_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KOVON_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KOVON_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KOVON_SANITIZE must be empty, 'address' or 'thread'")
endif()
