# What tests need to know about where they run: on this machine, or on the
# controller's CPU under qemu-user (a cross build; see the toolchain file).
#
#   KVO_TARGET_EMULATOR   the command that runs a target program here, as a
#                         list ("qemu-ppc;-L;/usr/powerpc-linux-gnu"); empty
#                         in a host build.
#   kvo_host_only(reason) in a test folder's CMakeLists.txt: in a cross build
#                         the folder is left out (with a status line).
#   kvo_target_info(tgt)  compile definitions KVO_UNDER_EMULATOR (0/1) and
#                         KVO_TARGET_EMULATOR (the command as one string, ""
#                         on the host), for tests that skip single cases.
#   kvo_exec_path(var tgt) a path that execv can start from inside a test on
#                         either build: the program itself on the host, a
#                         wrapper script that runs it under the emulator in a
#                         cross build (no binfmt needed); argv[0] is kept.
if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND KVO_TESTS)
    message(FATAL_ERROR "cross build with tests but no emulator: install qemu-user "
                        "(scripts/deps) or configure with -DKVO_TESTS=OFF")
  endif()
  set(KVO_TARGET_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}")
else()
  set(KVO_TARGET_EMULATOR "")
endif()

# A macro, so that return() leaves the calling folder's CMakeLists.txt.
macro(kvo_host_only reason)
  if(CMAKE_CROSSCOMPILING)
    message(STATUS "${CMAKE_CURRENT_SOURCE_DIR}: host only (${reason})")
    return()
  endif()
endmacro()

function(kvo_target_info target)
  if(CMAKE_CROSSCOMPILING)
    list(JOIN KVO_TARGET_EMULATOR " " emu)
    target_compile_definitions(${target} PRIVATE KVO_UNDER_EMULATOR=1 KVO_TARGET_EMULATOR="${emu}")
  else()
    target_compile_definitions(${target} PRIVATE KVO_UNDER_EMULATOR=0 KVO_TARGET_EMULATOR="")
  endif()
endfunction()

function(kvo_exec_path var target)
  if(CMAKE_CROSSCOMPILING)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.run)
    list(JOIN KVO_TARGET_EMULATOR " " emu)
    # qemu's -0 hands the script's own argv[0] on to the program.
    file(GENERATE OUTPUT ${script}
         CONTENT "#!/bin/sh\nexec ${emu} -0 \"$0\" \"$<TARGET_FILE:${target}>\" \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
    set(${var} ${script} PARENT_SCOPE)
  else()
    set(${var} $<TARGET_FILE:${target}> PARENT_SCOPE)
  endif()
endfunction()
