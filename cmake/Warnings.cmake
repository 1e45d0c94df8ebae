# Project-wide warning flags; KS_WERROR turns them into errors (CI sets it).
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
                    -Wcast-align -Woverloaded-virtual -Wformat=2)
if(KS_WERROR)
  add_compile_options(-Werror)
endif()
