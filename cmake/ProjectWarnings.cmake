# Warnings are errors on the project's own targets; sanitizers only where the preset asks.
function(phpkeeper_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wsign-conversion -Werror)
endfunction()

option(PHPKEEPER_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(PHPKEEPER_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()
