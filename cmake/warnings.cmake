# Strict warnings on the project's own targets only; third-party headers
# (GoogleTest, Qt) come in as system includes and are not affected.
function(pyx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
