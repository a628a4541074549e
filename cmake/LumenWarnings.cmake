# Warnings shared by every lumen target.
add_library(lumen_warnings INTERFACE)
target_compile_options(lumen_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
