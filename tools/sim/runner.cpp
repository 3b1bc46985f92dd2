// runner.cpp - setting up and tearing down a simulated controller, and the
// event pump: the service's log lines, the frames it writes to the peer
// FIFOs, the answers the peers give, and the service's end.
#include "runner.h"

#include <csignal>
#include <cstdlib>
#include <poll.h>

#include "crkeyemu.h"
#include "kvoruntime.h"
#include "names.h"

namespace {

volatile sig_atomic_t gInterrupted = 0;

constexpr int kPollSliceMs = 50;     // longest wait before the service's end is noticed
constexpr int kTerminateWaitMs = 5000;

} // namespace

void Runner::Interrupt() { gInterrupted = 1; }
bool Runner::Interrupted() { return gInterrupted != 0; }

Runner::Runner(const RunOptions &options, Timeline *timeline)
    : opt_(options), timeline_(timeline), t0_(std::chrono::steady_clock::now())
{
}

Runner::~Runner()
{
    service_.Kill();
    if (emu_ != nullptr)
        CrKeyEmuDestroy(emu_);
}

bool Runner::Setup(std::string *error)
{
    t0_ = std::chrono::steady_clock::now();
    if (!root_.Create(opt_.root, opt_.keep, error))
        return false;
    for (const SegmentWrite &w : opt_.config)
        root_.Write(w);
    if (!peers_.Open(error) || !log_.Open(root_.LogFifo(), root_.LogCopy(), error))
        return false;
    // Inherited by the service: its log lines come to this end of the FIFO.
    setenv("KVO_LOG_TARGET", ("file:" + root_.LogFifo()).c_str(), 1);
    std::string why;
    emu_ = CrKeyEmuCreate(&why);
    if (emu_ == nullptr) {
        *error = "guard-button emulation: " + why;
        return false;
    }
    Note("controller root " + root_.Dir());
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
    if (service_.Send(f))
        return true;
    Note("frame not delivered to FifoGdbt", false);
    return false;
}

void Runner::Answer(const PeerFrame &pf)
{
    auto it = answers_.find(pf.frame.cid);
    if (it == answers_.end())
        return;
    size_t n = 0;
    Frame reply;
    reply.mid = PeerFifos(&n)[pf.peer].modId;
    reply.cid = it->second.command;
    BuildData(it->second.data, &reply.data);
    SendFrame(reply, true);
}

void Runner::Drain()
{
    std::vector<ServiceLogLine> lines;
    log_.Read(&lines);
    for (const ServiceLogLine &l : lines) {
        Event e;
        e.kind = EventKind::Log;
        e.priority = l.priority;
        e.text = l.text;
        Record(e);
    }
    std::vector<PeerFrame> frames;
    peers_.ReadAll(&frames);
    for (const PeerFrame &pf : frames) {
        Event e;
        e.kind = EventKind::ToPeer;
        e.peer = pf.peer;
        e.frame = pf.frame;
        Record(e);
        Answer(pf);
    }
}

void Runner::CollectExit()
{
    int status = 0;
    if (exitRecorded_ || !service_.Reap(&status))
        return;
    exitRecorded_ = true;
    Drain(); // its last lines and frames come before its end
    Event e;
    e.kind = EventKind::Exit;
    e.status = status;
    Record(e);
}

bool Runner::Collect(int timeoutMs, int extraFd)
{
    std::vector<pollfd> fds;
    fds.push_back({log_.Fd(), POLLIN, 0});
    peers_.AddPollFds(&fds);
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
    return service_.Started() && service_.Reap(status) && exitRecorded_;
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
    int status = 0;
    if (service_.Running() && Interrupted()) {
        Note("interrupted: kvogdbt killed", false);
        service_.Kill();
        CollectExit();
    } else if (service_.Running()) {
        Note("end of run: the status module orders kvogdbt to end");
        Frame f;
        f.mid = MODID_STS;
        f.cid = CMDID_TERMINATE;
        f.data[0] = 0;
        SendFrame(f, false);
        if (!Pump(kTerminateWaitMs, [&] { return ServiceEnded(&status); })) {
            Note("kvogdbt did not end: killed", false);
            service_.Kill();
            CollectExit();
        }
    }
    if (service_.Started() && !exitChecked_ && !Interrupted()) {
        ServiceEnded(&status);
        Check(status == 0, "kvogdbt ended with exit status 0",
              status == 0 ? "" : "it ended with " + std::to_string(status));
    }
    if (emu_ != nullptr)
        CrKeyEmuDestroy(emu_);
    emu_ = nullptr;
    log_.Close();
    peers_.Close();
    std::string dir = root_.Dir();
    root_.Remove();
    if (opt_.keep)
        Note("root kept: " + dir);
}

std::string Runner::MissedList() const
{
    std::string s;
    for (const std::string &m : missed_)
        s += "  missed: " + m + "\n";
    return s;
}
