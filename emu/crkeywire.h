/*
 * crkeywire.h - the wire between the device preload in a program
 * (crkeydev.c, C, built for every CPU) and the emulation that serves it
 * (crkeyemu.cpp, in the board's process on the host).
 *
 * A program's open of the device connects a stream socket to the path in
 * $KVO_CRKEY_SOCKET; that connection carries the open's requests. Every
 * request is two bytes, an operation and its argument; every answer is two
 * bytes, an errno (0: success) and a value. Only bytes cross, so a
 * big-endian PowerPC program under qemu-user and the host agree without
 * conversion; errno numbers are the same on both CPUs (below 58, where
 * PowerPC's EDEADLOCK departs).
 *
 *   'O' 0     open. A successful answer carries the event descriptor
 *             (SCM_RIGHTS): a stream socket on which the emulation writes
 *             one byte per event, readable exactly while one is pending.
 *   'S' byte  set poll time. Value: 0.
 *   'G' 0     get key state. Value: the state, 1 pressed.
 *   'R' 0     sent before each one-byte read of the event descriptor.
 *             errno: what that read fails with (the byte is still taken),
 *             CRKEY_READ_EMPTY to report 0 bytes, 0 to deliver the byte.
 */
#ifndef KVO_EMU_CRKEYWIRE_H
#define KVO_EMU_CRKEYWIRE_H

#define CRKEY_DEVICE "/dev/cr_key"
#define CRKEY_SOCKET_ENV "KVO_CRKEY_SOCKET"

/* The driver's requests; the third ioctl argument is the address of one byte. */
#define CRKEY_GETKEYSTS 1ul
#define CRKEY_SETKEYPOLLTM 2ul

#define CRKEY_OP_OPEN 'O'
#define CRKEY_OP_SETPOLL 'S'
#define CRKEY_OP_GETSTS 'G'
#define CRKEY_OP_READ 'R'

#define CRKEY_READ_EMPTY 255

#endif
