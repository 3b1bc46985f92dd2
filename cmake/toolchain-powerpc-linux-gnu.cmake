# The controller: 32-bit big-endian PowerPC Linux, built with Debian's
# powerpc-linux-gnu cross compilers.  Programs built here run on this
# machine under qemu-user with the target's library root; CTest and
# gtest_discover_tests go through CMAKE_CROSSCOMPILING_EMULATOR, so every
# test runs on the target CPU.  cmake/KvoTarget.cmake turns this into the
# conventions that tests use (KVO_TARGET_EMULATOR, kvo_host_only, ...).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(KVO_TARGET_TRIPLE powerpc-linux-gnu)
# Debian installs the target's C library, libstdc++ and headers here; qemu
# needs it (-L) to find the target's dynamic loader and libraries.
set(KVO_TARGET_LIBROOT /usr/${KVO_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${KVO_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KVO_TARGET_TRIPLE}-g++)

# Headers, libraries and packages come from the target's root (and from
# any root the caller adds with -DCMAKE_FIND_ROOT_PATH=..., such as a
# staging prefix); programs are the build machine's.
list(APPEND CMAKE_FIND_ROOT_PATH ${KVO_TARGET_LIBROOT})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-ppc is found without the root path (it is a build-machine program).
# Without it the build still works; tests then cannot run (KvoTarget.cmake
# stops the configure when tests are on).
find_program(KVO_QEMU_PPC NAMES qemu-ppc qemu-ppc-static
             NO_CMAKE_FIND_ROOT_PATH DOC "qemu-user for 32-bit PowerPC")
if(KVO_QEMU_PPC)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVO_QEMU_PPC} -L ${KVO_TARGET_LIBROOT})
endif()
