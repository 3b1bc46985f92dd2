# AddressSanitizer and UndefinedBehaviorSanitizer for everything built here;
# any finding ends the process.
add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
