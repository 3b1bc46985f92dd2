# Warnings for our own targets: kvo_warnings(target)
function(kvo_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wformat=2 -Wshadow -Wpointer-arith -Wcast-align
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor>)
  if(KVO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# The runtime and the service use no exceptions and no run-time type
# information: kvo_plain(target)
function(kvo_plain target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
endfunction()
