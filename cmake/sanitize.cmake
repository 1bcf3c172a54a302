# -DPYX_SANITIZE=address,undefined builds every target with those
# sanitizers (any list -fsanitize= takes); a finding stops the program.
# -DPYX_FUZZ=ON (clang) builds every target with fuzzer coverage and the
# address and undefined-behaviour sanitizers, and builds the libFuzzer
# harnesses of tests/fuzz (which link the fuzzer itself, see there).
set(PYX_SANITIZE "" CACHE STRING "Sanitizers for every target, as -fsanitize= takes them (e.g. address,undefined)")
option(PYX_FUZZ "Build the libFuzzer harnesses (needs clang)" OFF)

if(PYX_SANITIZE)
  add_compile_options(-fsanitize=${PYX_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${PYX_SANITIZE})
endif()
if(PYX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "PYX_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
