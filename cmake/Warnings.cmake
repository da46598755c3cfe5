# Every target of the project builds warning-free.
add_compile_options(-Wall -Wextra -Werror -Wshadow)
