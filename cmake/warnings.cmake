# Strict warnings on the project's own targets only; third-party headers
# (GoogleTest, Qt) come in as system includes and are not affected.
#
# Warnings are errors only when asked for (scripts/test and CI do): a newer
# compiler on a user's machine may find something new, and that should not
# stop the build there.
option(PYX_WERROR "Treat compiler warnings as errors" OFF)

# The sanitizer option (PYX_SANITIZE) is in sanitize.cmake.

function(pyx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # GCC 12 at -O3 reports `"text" + std::string` (std::string's inlined
  # insert at the front) as an overlapping memcpy (-Wrestrict, GCC bug
  # 105329, mended in GCC 13). Every such report is that false positive, so
  # the one diagnostic is off for that compiler only.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(PYX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
