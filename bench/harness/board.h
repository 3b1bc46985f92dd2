// board.h - the emulated controller that the benchmark harness runs the real
// service on: a private KVO_ROOT with every FIFO, the CONFIG and OTHER
// segments, each peer's FIFO held open for reading and writing (as its
// module holds it), the guard-button device emulation, and the service
// process itself, started as the status module would start it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "board/peer.h"
#include "board/root.h"
#include "board/segments.h"
#include "board/service.h"
#include "kvoruntime.h"

struct CrKeyEmu;

struct BoardOptions {
    std::string gdbt;               // the service binary
    int level = LOG_INFO;           // log level on its command line
    bool emu = true;                // emulated "/dev/cr_key"; off: the open fails, commands only
    bool holdTiming = false;        // CONFIG guard_button '1': a press starts the hold timing
    std::vector<std::string> wrap;  // put in front of the service (strace, valgrind)
    int startTimeoutMs = 20000;     // until the start-up report
    std::string keepLog;            // where the service's log is moved at Close ("" drops it)
};

// A received frame, the time its FIFO was found readable (CLOCK_MONOTONIC).
struct Received {
    int mid = -1;
    int cid = -1;
    unsigned char data[FIFO_MSG_DATA_SIZE] = {};
    int64_t tNs = 0;
};

int64_t NowNs();

class Board {
public:
    Board() = default;
    ~Board() { Close(); }
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    bool Open(const BoardOptions &opt, std::string *error);
    // Starts the service and waits for its start-up report.
    bool Start(std::string *error);
    // Orders termination (900) and reaps; the exit status, or -1 on time-out.
    int Stop(int timeoutMs = 20000);
    void Close();

    // The next frame with command cid on the peer FIFO of id; frames with
    // other commands on it are dropped.  False on time-out.
    bool Wait(KvoPathId id, int cid, int timeoutMs, Received *out);
    // Throws away whatever waits in every peer FIFO.
    void DrainAll();
    // One command frame into the service's FIFO, as the status module sends it.
    bool Command(int mid, int cid, unsigned char d0 = 0);

    pid_t Pid() const { return svc_.Started() && !svc_.Ended() ? svc_.Pid() : -1; }
    CrKeyEmu *Emu() const { return emu_; }
    const std::string &Root() const { return root_; }
    std::string LogPath() const { return root_ + "/kvogdbt.log"; }
    int PeerFd(KvoPathId id) const { return fifos_[id].Fd(); }

private:
    BoardOptions opt_;
    std::string root_;
    kvoboard::BoardRoot board_;
    kvoboard::BoardSegments segments_;
    std::array<kvoboard::PeerFifo, KVO_PATH_COUNT> fifos_;
    kvoboard::BoardService svc_;
    CrKeyEmu *emu_ = nullptr;
};

// Spawns n processes that spin until Stop, to load every core.
class Load {
public:
    explicit Load(int n);
    ~Load() { Stop(); }
    Load(const Load &) = delete;
    Load &operator=(const Load &) = delete;
    void Stop();

private:
    std::vector<pid_t> pids_;
};
