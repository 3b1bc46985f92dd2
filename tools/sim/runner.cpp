// runner.cpp - setting up and tearing down a simulated controller, and the
// event pump: the service's log lines, the frames it writes to the peer
// FIFOs, the answers the peers give, and the service's end.
#include "runner.h"

#include <csignal>
#include <poll.h>
#include <unistd.h>

#include "kvoruntime.h"
#include "names.h"

namespace {

volatile sig_atomic_t gInterrupted = 0;

constexpr int kPollSliceMs = 50;     // longest wait before the service's end is noticed
constexpr int kTerminateWaitMs = 5000;

// Index into PeerFifos().
int PeerOf(KvoPathId path)
{
    size_t n = 0;
    const PeerFifo *peers = PeerFifos(&n);
    for (size_t i = 0; i < n; ++i)
        if (peers[i].path == path)
            return static_cast<int>(i);
    return -1;
}

} // namespace

void Runner::Interrupt() { gInterrupted = 1; }
bool Runner::Interrupted() { return gInterrupted != 0; }
void Runner::ClearInterrupt() { gInterrupted = 0; }

Runner::Runner(const RunOptions &options, Timeline *timeline)
    : opt_(options), timeline_(timeline), t0_(std::chrono::steady_clock::now())
{
}

Runner::~Runner() = default;

bool Runner::Setup(std::string *error)
{
    t0_ = std::chrono::steady_clock::now();
    // KVO_ROOT is the board's while it runs: the simulator's own runtime
    // calls (the FIFOs and segments it makes, the frames it sends) use it.
    kvoboard::BoardSetup setup;
    setup.dir = opt_.root;
    setup.tmpl = "/tmp/kvosim.XXXXXX";
    setup.keep = opt_.keep;
    setup.exportRoot = setup.byRuntime = true;
    setup.device = opt_.device;
    setup.service = opt_.service;
    board_.reset(new kvoboard::Board);
    if (!board_->Create(setup, error))
        return false;
    for (const SegmentWrite &w : opt_.config)
        Write(w);
    Note("controller root " + board_->Dir());
    for (const Step &s : opt_.answers)
        AnswerRule(s);
    return true;
}

double Runner::Now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
}

void Runner::Record(Event e)
{
    e.t = Now();
    timeline_->Print(e);
    events_.push_back(e);
}

void Runner::Note(const std::string &text, bool ok)
{
    Event e;
    e.kind = EventKind::Note;
    e.text = text;
    e.ok = ok;
    Record(e);
}

bool Runner::SendFrame(const Frame &f, bool automatic)
{
    Event e;
    e.kind = EventKind::ToService;
    e.frame = f;
    e.automatic = automatic;
    Record(e); // before the send, so that the service's reaction comes after it
    if (ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_GDBT), f.mid, f.cid,
                        reinterpret_cast<const char *>(f.data.data())) == 0)
        return true;
    Note("frame not delivered to FifoGdbt", false);
    return false;
}

void Runner::Answer(const Event &e)
{
    auto it = answers_.find(e.frame.cid);
    if (it == answers_.end())
        return;
    size_t n = 0;
    Frame reply;
    reply.mid = PeerFifos(&n)[e.peer].modId;
    reply.cid = it->second.command;
    BuildData(it->second.data, &reply.data);
    SendFrame(reply, true);
}

void Runner::Drain()
{
    board_->Drain();
    std::vector<std::string> lines;
    board_->TakeLogLines(&lines);
    for (const std::string &line : lines) {
        // "<166>KVOGDBT[42]: end of InitProc": priority 6, the text.
        kvoboard::LogLine l;
        Event e;
        e.kind = EventKind::Log;
        e.priority = kvoboard::ParseLogLine(line, &l) ? l.pri & 7 : -1;
        e.text = e.priority < 0 ? line : l.text;
        Record(e);
    }
    for (; arrivals_ < board_->Arrivals().size(); ++arrivals_) {
        const kvoboard::Arrival &a = board_->Arrivals()[arrivals_];
        Event e;
        e.kind = EventKind::ToPeer;
        e.peer = PeerOf(a.peer);
        e.frame = a.frame;
        Record(e);
        Answer(e);
    }
}

void Runner::CollectExit()
{
    kvoboard::BoardService &service = board_->Process();
    if (exitRecorded_ || !service.Started() || service.Running())
        return;
    exitRecorded_ = true;
    Drain(); // its last lines and frames come before its end
    Event e;
    e.kind = EventKind::Exit;
    e.status = service.Code();
    Record(e);
}

bool Runner::Collect(int timeoutMs, int extraFd)
{
    std::vector<pollfd> fds;
    board_->AddPollFds(&fds);
    if (extraFd >= 0)
        fds.push_back({extraFd, POLLIN, 0});
    int n = poll(fds.data(), fds.size(), timeoutMs);
    Drain();
    CollectExit();
    return n > 0 && extraFd >= 0 && (fds.back().revents & (POLLIN | POLLHUP)) != 0;
}

bool Runner::Pump(int ms, const std::function<bool()> &done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (done())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || Interrupted())
            return false;
        Collect(static_cast<int>(left < kPollSliceMs ? left : kPollSliceMs));
    }
}

bool Runner::ServiceEnded(int *status)
{
    *status = board_->Process().Code();
    return exitRecorded_;
}

bool Runner::IdleUntilReadable(int fd)
{
    while (!Interrupted())
        if (Collect(kPollSliceMs * 4, fd))
            return true;
    return false;
}

void Runner::Finish()
{
    if (board_ == nullptr)
        return;
    int status = 0;
    kvoboard::BoardService &service = board_->Process();
    if (opt_.standing)
        ClearInterrupt(); // the normal end of a standing board: the service ends in order
    if (service.Running() && Interrupted()) {
        Note("interrupted: kvogdbt killed", false);
        service.Kill();
        CollectExit();
    } else if (service.Running()) {
        Note("end of run: the status module orders kvogdbt to end");
        SendFrame(MakeFrame(MODID_STS, CMDID_TERMINATE, {0}), false);
        if (!Pump(kTerminateWaitMs, [&] { return ServiceEnded(&status); })) {
            Note("kvogdbt did not end: killed", false);
            service.Kill();
            CollectExit();
        }
    }
    if (service.Started() && !exitChecked_ && !Interrupted() && !opt_.standing) {
        ServiceEnded(&status);
        Check(status == 0, "kvogdbt ended with exit status 0",
              status == 0 ? "" : "it ended with " + std::to_string(status));
    }
    Drain(); // the last frames, and the end of a service that ended by itself
    CollectExit();
    std::string dir = board_->Dir();
    board_.reset();
    if (access(dir.c_str(), F_OK) == 0)
        Note("root kept: " + dir);
    else if (opt_.standing)
        Note("root removed: " + dir);
}

std::string Runner::MissedList() const
{
    std::string s;
    for (const std::string &m : missed_)
        s += "  missed: " + m + "\n";
    return s;
}
