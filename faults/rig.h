// rig.h - the hardening rig: the real kvogdbt binary started under a
// private controller root, with its peers played by this process.
//
// The rig makes the root (FIFOs, key file), the CONFIG and OTHER segments,
// and the emulated guard-button device; it holds every peer FIFO open for
// reading and writing (so sends never wait) and collects the frames that
// arrive there on a thread of its own; it writes commands into the
// service's FIFO; and it watches the service process: exit status,
// descriptors, resident memory.  Used by the fault scenario, the soak and
// the hostile-condition tests.
#pragma once

#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/peer.h"
#include "board/root.h"
#include "board/segments.h"
#include "board/service.h"
#include "kvomessaging.h"

struct CrKeyEmu;

namespace rig {

enum Peer { P_STS, P_STSP, P_PARE, P_AUTH, P_DISP, P_EK, P_LOG, P_FTP, P_COUNT };
const char *PeerName(Peer p);

struct Frame {
    int mid;
    int cid;
    std::array<unsigned char, FIFO_MSG_DATA_SIZE> data;
};

struct Options {
    std::string service;          // path of kvogdbt
    int32_t parentMode = 0;       // OTHER word at byte 4
    char authFlag = '0';          // CONFIG byte 27722
    char guardButton = '1';       // CONFIG byte 27648
    unsigned char holdInhibit = 0; // OTHER byte 189
    bool device = true;           // emulate the guard-button device
    int logLevel = 6;
    std::vector<std::string> env; // "NAME=VALUE" added for the service only
    std::string preload;          // put in front of LD_PRELOAD for the service only
    int inheritFds = 0;           // descriptors the service inherits (open on /dev/null)
    long fdLimit = 0;             // RLIMIT_NOFILE for the service, 0: unchanged
    bool holdCommandWriter = true; // keep a writer on the command FIFO from the start
};

// How the service ended.
struct Exit {
    bool exited = false;  // by exit()
    int status = -1;      // exit status when exited
    int signal = 0;       // the signal that ended it, if any
    bool killed = false;  // the rig had to kill it (no exit within the limit)
};

class Rig {
public:
    explicit Rig(const Options &opt);
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // Root, segments, device, peers; false with Error() on failure.
    bool Prepare();
    // Starts the service; false when the fork failed.
    bool Start();
    // Adds "NAME=VALUE" to the service's environment (before Start).
    void AddEnv(const std::string &kv) { opt_.env.push_back(kv); }
    const std::string &Error() const { return error_; }
    const std::string &Root() const { return root_; }
    std::string Path(Peer p) const;
    std::string CommandPath() const;
    std::string LogPath() const { return root_ + "/gdbt.log"; }
    pid_t Pid() const { return svc_.Pid(); }
    CrKeyEmu *Device() { return emu_; }

    // Writes one 256-byte frame into the service's FIFO.
    bool Send(int mid, int cid, const unsigned char *data = nullptr, size_t len = 0);
    bool SendRaw(const void *bytes, size_t len);
    // Bytes written to the service's FIFO that it has not read yet.
    int Pending();
    bool OpenCommandWriter();
    void CloseCommandWriter();

    // Frames received by a peer so far (a copy), and waiting for them.
    std::vector<Frame> Received(Peer p);
    size_t Count(Peer p, int cid);
    bool WaitCount(Peer p, int cid, size_t n, int timeoutMs);
    // Bytes that arrived but do not make a whole frame.
    size_t Stray(Peer p);
    // Stops collecting for a peer (its descriptor closed) or resumes it.
    void StopPeer(Peer p);
    // Keeps the peer's FIFO open but stops reading it (it fills up), or reads again.
    void PausePeer(Peer p, bool paused);
    bool ResumePeer(Peer p);

    // Waits for the service to end; kills it after timeoutMs.
    Exit Wait(int timeoutMs);
    bool Running();
    // Descriptors of the service: count, and those that point into the root.
    int FdCount();
    std::vector<std::string> FdTargets();
    long VmRssKb();
    // CPU time the service has used, user and system, in milliseconds.
    long CpuMs();
    // The service's log, at most its first maxBytes, and its whole size.
    std::string Log(size_t maxBytes = 1 << 20);
    long long LogSize();

private:
    void Collect();
    bool MakeSegments();
    void Record();
    void Wake();

    Options opt_;
    std::string root_, error_;
    kvoboard::BoardRoot board_;
    kvoboard::BoardSegments segments_;
    kvoboard::BoardService svc_;
    CrKeyEmu *emu_ = nullptr;
    kvoboard::PeerFifo peer_[P_COUNT];
    kvoboard::PeerFifo cmd_;
    int wake_[2] = {-1, -1};
    Exit exit_;
    std::thread collector_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Frame> frames_[P_COUNT];
    std::vector<unsigned char> partial_[P_COUNT];
    bool paused_[P_COUNT] = {};
};

// Frame data: the given bytes, then spaces to 250.
std::array<unsigned char, FIFO_MSG_DATA_SIZE> Data(std::initializer_list<int> bytes);
long long NowMs();
void SleepMs(int ms);

} // namespace rig
