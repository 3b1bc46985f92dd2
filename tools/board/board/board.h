// board.h - one simulated controller around the real service, and the only
// code that stands one up: a private root with every FIFO and the key file,
// the CONFIG and OTHER segments, each peer module's end of its FIFO with the
// frames that reach it, the writer of the service's command FIFO, the
// emulated guard-button device, and the service process with its log.
// kvosim, the fault scenario, the soak, the hostile-condition tests and the
// benchmarks each drive the service on it.
//
// Frames are collected when asked (Drain, Collect, WaitCount, Next): a user
// that lets time pass without collecting lets the peer FIFOs fill up, as a
// peer module that stops reading would.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include "board/logfile.h"
#include "board/peer.h"
#include "board/root.h"
#include "board/segments.h"
#include "board/service.h"
#include "frame.h"

struct CrKeyEmu;

namespace kvoboard {

struct BoardSetup {
    std::string dir;              // the root; empty: a fresh folder from tmpl
    std::string tmpl = "/tmp/kvoboard.XXXXXX";
    bool keep = false;            // leave a fresh folder behind
    bool exportRoot = false;      // this process's KVO_ROOT points at the root meanwhile
    bool byRuntime = false;       // FIFOs and segments made with the runtime's own calls,
                                  // as the controller's modules make them (needs exportRoot)
    bool other = true;            // false: the service finds no OTHER segment
    bool device = true;           // the emulated guard-button device
    bool commandWriter = true;    // a writer on the command FIFO from the start
    std::string service;          // the program that will run: segment words are written in
                                  // its CPU's byte order, as the controller's modules write
                                  // them (empty: this machine's)
};

enum class LogTo {
    File,   // ROOT/kvogdbt.log
    Fifo,   // a FIFO that the board reads, copied to ROOT/kvogdbt.log
    Syslog, // the service's default
};

// How the service is started: argv[1] "52" as the status module gives it;
// only descriptors 0 to 2 (and inheritFds) reach it, with no signal
// blocked, and it is killed when this process ends.  A service built for
// the controller (32-bit PowerPC) runs under qemu-user with the PowerPC
// build of the device preload (CrKeyEmuCommand in emu/crkeyemu.h); Pid is
// then qemu's, which signals reach the service through.
struct Launch {
    std::string service;           // the program, built for this machine or the controller
    std::optional<std::string> level = std::string("6"); // argv[2], the log level; none: left out
    std::vector<std::string> wrap; // in front of it (strace, valgrind), found on PATH
    std::vector<std::string> env;  // NAME=VALUE for the service only
    std::string preload;           // in front of the device emulation's LD_PRELOAD (a
                                   // PowerPC library for a PowerPC service)
    LogTo log = LogTo::File;
    int inheritFds = 0;            // descriptors it inherits from 3 up (on /dev/null)
    long fdLimit = 0;              // its RLIMIT_NOFILE; 0: this process's
    bool ownGroup = false;         // a process group of its own: Ctrl-C at this
                                   // process's terminal does not reach it
    // Started with ComProcessCreate for its row of the module table, as the
    // status module starts it: this process's environment (with the log
    // target and preload) and descriptors; wrap, env, the limits and the
    // group unused.  A PowerPC service is started with
    // ComProcessCreateGrandChild instead, whose argv carries the qemu-user
    // command.
    bool asModule = false;
};

// A frame that reached a peer, and when (NowNs) its FIFO was found readable.
struct Arrival {
    KvoPathId peer;
    Frame frame;
    int64_t ns;
};

int64_t NowNs();

class Board {
public:
    Board() = default;
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    bool Create(const BoardSetup &setup, std::string *error);
    const std::string &Dir() const { return root_.Dir(); }
    std::string Path(KvoPathId id) const { return root_.Path(id); }
    std::string LogPath() const { return Dir() + "/kvogdbt.log"; }
    CrKeyEmu *Device() const { return emu_; }

    // The configuration the service reads, at any time.
    void SetGuardButton(char c);  // '1': a press starts hold timing
    void SetAuthFlag(char c);     // '0': direct requests go through the IO status
    void SetParentMode(int32_t mode);
    // A 32-bit integer in the service's native byte order.
    bool SetWord(char seg, size_t off, int32_t v);
    bool SwapsWords() const { return swapWords_; }
    void SetHoldInhibit(uint8_t v);
    bool Set(char seg, size_t off, const void *bytes, size_t n) { return segments_.Set(seg, off, bytes, n); }

    // The command FIFO: whole frames, waiting up to ms for room.
    bool Send(const Frame &f, int ms = 10000);
    bool SendRaw(const void *bytes, size_t len, int ms = 10000);
    bool OpenCommandWriter();
    void CloseCommandWriter() { cmd_.Close(); }
    // Bytes written to the command FIFO that the service has not read yet.
    int Pending() const;
    // The descriptor held on a FIFO (FifoGdbt: the command writer), -1 if none.
    int Fd(KvoPathId id) const;

    // Every frame waiting now; several FIFOs are read in the order in which
    // the service sends within one command (display, log, parent,
    // authentication), which the FIFOs themselves cannot tell.
    void Drain();
    void AddPollFds(std::vector<pollfd> *fds) const;
    // Waits up to ms for something to read, then drains.
    void Collect(int ms);
    // Collects for ms.
    void Pump(int ms);
    const std::vector<Arrival> &Arrivals() const { return got_; }
    size_t Count(KvoPathId peer, int cid) const;
    // Bytes of short frames at a peer.
    size_t Stray(KvoPathId peer) const;
    // Collects until a peer has n frames of cid, at most ms.
    bool WaitCount(KvoPathId peer, int cid, size_t n, int ms);
    // The next frame of cid at a peer after the one Next gave last; the
    // frames before it are passed over.
    bool Next(KvoPathId peer, int cid, int ms, Arrival *out);
    // Drains and passes over everything that came so far.
    void Skip();
    // A paused peer is not read (its FIFO fills up); a closed one is not
    // open at all (nobody reads it).
    void PausePeer(KvoPathId peer, bool paused);
    void ClosePeer(KvoPathId peer) { fifos_[peer].Close(); }
    bool OpenPeer(KvoPathId peer);

    bool Start(const Launch &launch, std::string *error);
    // The start-up report's result: 0 or 1; -1 when none came within ms.
    int AwaitStartup(int ms);
    pid_t Pid() const { return svc_.Pid(); }
    // The emulator the service runs under ("qemu-ppc"); empty: this
    // machine's CPU.
    const std::string &Emulator() const { return emulator_; }
    bool Running() { return svc_.Running(); }
    // Collects until the service has ended, at most ms.
    bool WaitExit(int ms);
    // 900 with order 0, then its exit status; -1 when it had to be killed.
    int Stop(int ms = 20000);
    const BoardService &Process() const { return svc_; }
    BoardService &Process() { return svc_; }

    // Log lines that came since the last call, without line feeds.
    void TakeLogLines(std::vector<std::string> *lines);
    // The log as written so far (at most max bytes), and its size.
    std::string LogText(size_t max = 1 << 20) const;
    long long LogSize() const;

private:
    bool StartModule(const Launch &launch, const std::vector<std::string> &cmd, std::string *error);
    bool Command(const Launch &launch, std::vector<std::string> *cmd, std::string *error);
    bool ReadPeer(KvoPathId peer, int64_t now);

    BoardRoot root_;
    BoardSegments segments_;
    PeerFifo fifos_[KVO_PATH_COUNT]; // by KvoPathId; FifoGdbt's is unused
    bool paused_[KVO_PATH_COUNT] = {};
    PeerFifo cmd_;
    CrKeyEmu *emu_ = nullptr;
    BoardService svc_;
    std::string emulator_;
    bool swapWords_ = false; // the service's byte order is not this machine's
    LogFile log_;
    bool logFifo_ = false;
    std::vector<std::string> logLines_;
    std::vector<Arrival> got_;
    std::map<std::pair<int, int>, size_t> counts_; // by (peer, cid)
    size_t stray_[KVO_PATH_COUNT] = {};
    size_t next_[KVO_PATH_COUNT] = {};             // where Next looks on
};

// What /proc tells about a running process: open descriptors (count, and
// "N -> target" each), resident memory, CPU time (user and system).
int FdCount(pid_t pid);
std::vector<std::string> FdTargets(pid_t pid);
// A "Name:   123 kB" line of /proc/PID/FILE ("status", "VmRSS:"); -1 if absent.
long ProcField(pid_t pid, const std::string &file, const std::string &field);
long CpuTicks(pid_t pid);
long CpuMs(pid_t pid);

} // namespace kvoboard
