// figures.h - the harness's measurements, one per subcommand.  Each prints
// its figures as "name value" lines on standard output (times in
// microseconds unless the name says otherwise) and returns the exit status.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "board/board.h"
#include "kvolog.h"

using kvoboard::Arrival;
using kvoboard::Board;
using kvoboard::NowNs;

struct Args {
    std::string gdbt;                       // the service binary
    std::string self;                       // this program, for children that need the preload
    std::map<std::string, std::string> opt; // --name value
    std::vector<std::string> wrap;          // after "--": put in front of the service

    long Num(const std::string &name, long dflt) const;
    std::string Str(const std::string &name, const std::string &dflt = "") const;
    bool Flag(const std::string &name) const { return opt.count(name) != 0; }
};

// The board as the benchmarks use it: direct mode, authentication flag '5'
// (a guard request in direct mode goes straight to FifoAuth), hold timing
// on or off, the device emulated or missing (commands only); with start,
// the service started (behind the wrapper) up to its start-up report.
bool OpenBoard(Board *b, const Args &a, bool emu, bool hold, int level = LOG_INFO, bool start = true);

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

// Press to press-event frame in FifoEk.
int RunLatency(const Args &a);
// Press to guard request, against twelve polls of 250 ms.
int RunHold(const Args &a);
// Round trip of the emulated driver's read and key-state request.
int RunRtt(const Args &a);
int RunRttChild(const Args &a);
// Lateness of one 250 ms timer expiry into a pselect wait, without the service.
int RunTimer(const Args &a);
// Wake-ups and CPU time of the idle service.
int RunIdle(const Args &a);
// N command frames (901) one after the other; for strace and callgrind, and
// with --monitor for the cost of kvomsg monitor following the service.
int RunFrames(const Args &a);
// Command frames per second from several writers; service, reference loop or raw FIFO.
int RunThroughput(const Args &a);
// Resident and private memory of the running service and of the reference loop.
int RunFootprint(const Args &a);
// Start, one press, one command, orderly end: the harness works.
int RunSmoke(const Args &a);

// Sorted-sample statistics.
struct Stats {
    size_t n = 0;
    double min = 0, median = 0, p99 = 0, max = 0, mean = 0;
};
Stats Summarize(std::vector<double> v);
void PrintStats(const std::string &prefix, const Stats &s);
bool WriteSamples(const std::string &path, const std::vector<double> &v);
