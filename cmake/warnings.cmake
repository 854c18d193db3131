# Warnings are errors for our own targets; third-party headers come in as SYSTEM.
add_library(corvane_warnings INTERFACE)
target_compile_options(corvane_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
  -Wimplicit-fallthrough
  $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
  $<$<CXX_COMPILER_ID:Clang>:-Wshadow-uncaptured-local>)
