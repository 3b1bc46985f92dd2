# The controller's CPU as this machine knows it: the cross toolchain's
# triple, the target's library root and qemu-user for 32-bit PowerPC.
# Included by the toolchain file, and by host builds that start PowerPC
# programs (the device emulation).
set(KVO_TARGET_TRIPLE powerpc-linux-gnu)
# Debian installs the target's C library, libstdc++ and headers here; qemu
# needs it (-L) to find the target's dynamic loader and libraries.
set(KVO_TARGET_LIBROOT /usr/${KVO_TARGET_TRIPLE})

# qemu-ppc is found without the root path (it is a build-machine program).
find_program(KVO_QEMU_PPC NAMES qemu-ppc qemu-ppc-static
             NO_CMAKE_FIND_ROOT_PATH DOC "qemu-user for 32-bit PowerPC")
