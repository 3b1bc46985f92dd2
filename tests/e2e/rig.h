// rig.h - the guard-button service's world on a workstation: a private root
// with every FIFO and the key file, the CONFIG and OTHER segments, the peer
// modules' FIFO ends, the emulated guard-button device, and the real kvogdbt
// binary started on them. Everything is private to one rig, so tests run in
// parallel.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "board/logfile.h"
#include "board/peer.h"
#include "board/root.h"
#include "board/segments.h"
#include "board/service.h"
#include "crkeyemu.h"
#include "kvomessaging.h"
#include "kvoruntime.h"
#include "kvosegments.h"
#include "logcapture.h"

// Generous: a hold takes 3 s, and the service may run under a sanitizer.
constexpr int kWaitMs = 10000;
// How long a peer listens to show that nothing was sent.
constexpr int kQuietMs = 1000;

// The service binary: $KVO_E2E_SERVICE when set (another build of it), else
// the one built here.
const char *ServiceBinary();

struct Frame {
    int mid = -1;
    int cid = -1;
    std::string data; // the 250 data bytes
};

struct LogRec {
    int pri = -1;     // facility | priority, as written
    int pid = -1;
    std::string text; // without the line feed
};

struct RigOptions {
    bool makeOther = true; // false: the OTHER segment is missing
    bool emulate = true;   // false: no device emulation, the service finds no device
};

struct PeerFrame {
    KvoPathId fifo;
    Frame frame;
};

// 250 data bytes: these first bytes, then spaces.
std::string Data(std::initializer_list<int> head);
std::string Data(const std::string &head);
// "052/356 [20 20 20 ...]" for failure messages.
std::string Describe(const Frame &frame);
const char *PeerName(KvoPathId fifo);

class Rig {
public:
    explicit Rig(RigOptions options = RigOptions());
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // Why the rig cannot be used, or "" when it can.
    const std::string &Error() const { return error_; }
    CrKeyEmu *Emu() { return emu_; }
    const std::string &Root() const { return root_.Dir(); }

    // Configuration, readable by the service at any time.
    void SetGuardButton(char c);
    void SetAuthFlag(char c);
    void SetParentMode(int32_t v);
    void SetHoldInhibit(uint8_t v);

    // Starts kvogdbt with argv[1] "52" (as the status module does) and the
    // level as argv[2]; no argv[2] when level is null. Logs to a file unless
    // logToFile is false (then the service's default, syslog).
    bool Start(const char *level = "7", bool logToFile = true);
    // Starts argv as given (the service, or a wrapper that execs it, so
    // that Pid() is the service's process id).
    bool StartCommand(std::vector<std::string> argv, bool logToFile);
    // Start, then wait for the start-up report; its result digits ("000").
    bool StartAndWait(std::string *result = nullptr, const char *level = "7");
    pid_t Pid() const { return service_.Started() && !service_.Ended() ? service_.Pid() : -1; }
    // Exit code (or 128 + signal) once the service has ended; -1 on timeout.
    int WaitExit(int timeoutMs = kWaitMs);
    // User plus system CPU time of the running service, in seconds.
    double CpuSeconds() const;

    // Commands into FifoGdbt as a peer module sends them.
    bool Send(int mid, int cid, const std::string &data = std::string());
    // The rig's own writer of FifoGdbt, open from construction.
    void CloseCommandWriter();
    bool OpenCommandWriter();

    // The next frame at a peer FIFO; false when none came in time.
    bool WaitFrame(KvoPathId fifo, Frame *frame, int timeoutMs = kWaitMs);
    // Every frame that reaches the FIFO within ms.
    std::vector<Frame> FramesWithin(KvoPathId fifo, int ms = kQuietMs);
    // Every frame that reaches any peer FIFO within ms.
    std::vector<PeerFrame> AnyFrames(int ms = kQuietMs);

    // The service's log file, line by line.
    std::vector<LogRec> Log() const;
    // Lines whose text is text (a trailing line feed in text is ignored), at
    // priority pri (0..7, any when -1).
    int CountLog(const std::string &text, int pri = -1) const;
    int CountLogPrefix(const std::string &prefix, int pri = -1) const;
    bool WaitLog(const std::string &text, int pri = -1, int timeoutMs = kWaitMs) const;
    std::string LogDump() const;

    // Device statistics.
    CrKeyEmuStats Stats() { return emu_ != nullptr ? CrKeyEmuGetStats(emu_) : CrKeyEmuStats{0, 0, 0, 0, -1}; }
    // Waits until the device has answered at least n key-state reads.
    bool WaitPolls(unsigned n, int timeoutMs = kWaitMs);

private:
    bool Fail(const std::string &why);
    bool ReadFrame(kvoboard::PeerFifo &fifo, Frame *frame, const kvoboard::Deadline &deadline);
    void Stop();

    LogCapture quiet_; // the runtime's own lines in this process go nowhere
    kvoboard::BoardRoot root_;
    kvoboard::BoardSegments segments_;
    std::string error_;
    std::string logPath_;
    std::array<kvoboard::PeerFifo, KVO_PATH_COUNT> peers_; // by KvoPathId
    kvoboard::PeerFifo command_;
    CrKeyEmu *emu_ = nullptr;
    kvoboard::BoardService service_;
    mutable kvoboard::LogFile log_;
    mutable std::vector<LogRec> logRecs_; // every line read so far
};
