// crkeyemu.h - an emulated guard-button device "/dev/cr_key" for host tools
// and tests.
//
// CrKeyEmuCreate() builds the emulated device and sets this process's
// environment so that every child started afterwards (fork+execv,
// ComProcessCreate) opens the emulation instead of a driver. The emulation
// answers the driver's two requests (set poll time, get key state) and
// delivers event bytes, one byte per read. It is served on a background
// thread; callers need no event loop of their own. Host only.
#ifndef KVO_EMU_CRKEYEMU_H
#define KVO_EMU_CRKEYEMU_H

#include <cstdint>
#include <string>

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
// Any event byte; key state unchanged.
bool CrKeyEmuSendByte(CrKeyEmu *emu, uint8_t byte);

// Makes a device operation fail with errno err; err 0 clears the fault.
// Open takes effect at the next open of the device (set it before the child
// starts to fail the open at its start-up). Read makes the next
// read fail (or report 0 bytes when err is -1) and then clears itself; the
// byte that read would have delivered is consumed with it.
void CrKeyEmuSetFault(CrKeyEmu *emu, CrKeyFault fault, int err);

CrKeyEmuStats CrKeyEmuGetStats(CrKeyEmu *emu);

// The next `polls` key-state reads that find the key pressed answer pressed;
// then the key is released, as if let go right after the last of them.
// 0 cancels. Lets a test end a hold after an exact number of polls, which
// no outside timing can do reliably.
void CrKeyEmuReleaseAfterPolls(CrKeyEmu *emu, unsigned polls);

#endif
