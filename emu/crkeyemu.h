// crkeyemu.h - an emulated guard-button device "/dev/cr_key" for host tools
// and tests, for service programs built for the host or for the controller.
//
// CrKeyEmuCreate() starts the emulation in this process and sets this
// process's environment so that every host program started afterwards
// (fork+execv, ComProcessCreate) opens the emulation instead of a driver:
//
//   LD_PRELOAD        the host build of the device preload, in front: the
//                     one installed beside this program (bin/ -> lib/),
//                     else one next to it, else the build tree's
//   KVO_CRKEY_SOCKET  where the emulation listens
//   ASAN_OPTIONS      verify_asan_link_order=0 added, so that a sanitized
//                     program accepts the preload ahead of its runtime
//
// The preload (libkvocrkeydev.so, emu/crkeydev.c) takes the program's open,
// ioctl, read and close of the device; the emulation answers the driver's
// two requests (set poll time, get key state) and delivers event bytes, one
// byte per read, on a descriptor that select and pselect see readable while
// an event is pending. It is served on a background thread; callers need no
// event loop of their own.
//
// A PowerPC program (the ppc preset's build) runs under qemu-user with the
// PowerPC build of the preload: CrKeyEmuCommand() turns its argv into the
// command that does that. The PowerPC preload is the file named by
// $KVO_CRKEY_PRELOAD_PPC, else emu/libkvocrkeydev.so in the nearest folder
// above the program that has one, as in the ppc preset's build tree
// (build/ppc/gdbt/kvogdbt -> build/ppc/emu/libkvocrkeydev.so; built by
// `cmake --build --preset ppc --target kvocrkeydev`).
#ifndef KVO_EMU_CRKEYEMU_H
#define KVO_EMU_CRKEYEMU_H

#include <cstdint>
#include <string>
#include <vector>

struct CrKeyEmu; // opaque

enum class CrKeyFault { Open, SetPollTime, GetKeyState, Read };

struct CrKeyEmuStats {
    unsigned opens;        // successful opens of the device by children
    unsigned setPollCalls; // set-poll-time requests seen, failed ones included
    unsigned getStsCalls;  // get-key-state requests seen, failed ones included
    unsigned bytesSent;    // event bytes handed to the device's readers
    int lastPollTime;      // value of the last accepted set-poll-time request, -1 before any
};

// Creates the emulation; nullptr on failure with the reason in *error (when
// error is not null). One emulation per process at a time.
CrKeyEmu *CrKeyEmuCreate(std::string *error);
// Ends the emulation and restores the environment CrKeyEmuCreate changed.
void CrKeyEmuDestroy(CrKeyEmu *emu);

// Key state pressed, then event byte 1.
bool CrKeyEmuPress(CrKeyEmu *emu);
// Key state released; no event byte.
bool CrKeyEmuRelease(CrKeyEmu *emu);
// Any event byte; key state unchanged. Bytes sent while no program has the
// device open wait for the next open, as in the driver's buffer.
bool CrKeyEmuSendByte(CrKeyEmu *emu, uint8_t byte);

// Makes a device operation fail with errno err (1 to 254; -1 for Read
// only, see below); err 0 clears the fault. Open, SetPollTime and
// GetKeyState fail every call until cleared; open takes effect at the next
// open of the device (set it before the child starts to fail the open at
// its start-up). Read makes the next read fail (or report 0 bytes when err
// is -1) and then clears itself; the byte that read would have delivered
// is consumed with it. Every count in CrKeyEmuStats is settled before the
// program's call returns.
void CrKeyEmuSetFault(CrKeyEmu *emu, CrKeyFault fault, int err);

CrKeyEmuStats CrKeyEmuGetStats(CrKeyEmu *emu);

// The next `polls` key-state reads that find the key pressed answer pressed;
// then the key is released, as if let go right after the last of them.
// 0 cancels. Lets a test end a hold after an exact number of polls, which
// no outside timing can do reliably.
void CrKeyEmuReleaseAfterPolls(CrKeyEmu *emu, unsigned polls);

// The command that runs argv (argv[0] the program's path, then its
// arguments) on this emulation, on the program's own CPU; execv it with
// command[0] as the path and this process's environment. A host program:
// argv unchanged. A 32-bit PowerPC program:
//
//   /usr/bin/env -u LD_PRELOAD qemu-ppc -L <target root> -0 ARGV0
//       -E LD_PRELOAD=<PowerPC preload> -E KVO_CRKEY_SOCKET=<socket> PROGRAM ARGS...
//
// (qemu itself loads no host preload; the program sees this process's
// environment otherwise). The process is qemu's from the exec on: signals
// sent to it reach the program, and it ends as the program ends. A host
// wrapper that execs the program (sh -c, unshare) must exec this command in
// its place. With emu null the program runs without the emulation (no -E
// options) and finds no device. False, with the reason, when the program
// cannot be read or the PowerPC preload is not found.
bool CrKeyEmuCommand(const CrKeyEmu *emu, const std::vector<std::string> &argv,
                     std::vector<std::string> *command, std::string *error);

#endif
