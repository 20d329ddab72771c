# Applied to every target of this project (not to the sources of the distribution's libraries).
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                    -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
if(DRV_WERROR)
  add_compile_options(-Werror)
endif()
