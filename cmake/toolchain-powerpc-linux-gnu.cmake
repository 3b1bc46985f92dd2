# The controller: 32-bit big-endian PowerPC Linux, built with Debian's
# powerpc-linux-gnu cross compilers.  Programs built here run on this
# machine under qemu-user with the target's library root; CTest and
# gtest_discover_tests go through CMAKE_CROSSCOMPILING_EMULATOR, so every
# test runs on the target CPU.  cmake/KvoTarget.cmake turns this into the
# conventions that tests use (KVO_TARGET_EMULATOR, kvo_host_only, ...).
#
# What qemu-user (7.2) does as the board does: POSIX timers raising SIGUSR1
# with si_value and SI_TIMER, pselect with a signal mask, FIFOs (ENXIO,
# EPIPE), System V shared memory (SHM_RDONLY faults on a write), fork with
# SIGCHLD ignored, Unix-domain sockets with descriptors passed over them (to
# and from host processes), death by SIGTERM's default action.  Where it
# differs: at most 32 POSIX timers per process, timer ids 0x0caf0000 + n;
# no binfmt here, so a PowerPC program is started through qemu explicitly
# (kvo_exec_path), and a host wrapper that execs one (sh -c, unshare)
# cannot start it; LD_PRELOAD in qemu's environment loads
# into qemu itself, so the program's preload is a PowerPC build given with
# -E LD_PRELOAD=... and the host's must be kept out of qemu's environment
# (CrKeyEmuCommand in emu/crkeyemu.h does both); -L makes an absolute path P
# look under /usr/powerpc-linux-gnu/P first (the preload's path included);
# about three times slower.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

include(${CMAKE_CURRENT_LIST_DIR}/KvoPowerPC.cmake)

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

# Without qemu-ppc (KvoPowerPC.cmake) the build still works; tests then
# cannot run (KvoTarget.cmake stops the configure when tests are on).
if(KVO_QEMU_PPC)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVO_QEMU_PPC} -L ${KVO_TARGET_LIBROOT})
endif()
