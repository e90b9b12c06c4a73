# MNET_SANITIZER=address builds everything with AddressSanitizer and UndefinedBehaviorSanitizer;
# undefined and thread select those alone.
if(MNET_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(MNET_SANITIZER STREQUAL "undefined")
  add_compile_options(-fsanitize=undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=undefined)
elseif(MNET_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT MNET_SANITIZER STREQUAL "")
  message(FATAL_ERROR "MNET_SANITIZER must be address, undefined, thread or empty")
endif()
