# Warnings for our own targets: mnet_warnings(<target>).
function(mnet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(MNET_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
