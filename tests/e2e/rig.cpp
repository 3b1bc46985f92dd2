// rig.cpp - see rig.h. The rig plays every peer the way those modules do:
// each peer FIFO is held open for reading and writing without blocking (so
// the service's sends never wait), command frames are written whole into
// FifoGdbt, and the segments are created and filled with the runtime's own
// functions.
#include "rig.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr KvoPathId kPeerFifos[] = {KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP, KVO_PATH_FIFO_PARE,
                                    KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_DISP, KVO_PATH_FIFO_EK,
                                    KVO_PATH_FIFO_LOG,  KVO_PATH_FIFO_FTP};

int MsLeft(Clock::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string StripNewline(const std::string &text)
{
    return !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
}

bool PriMatches(const LogRec &r, int pri)
{
    return pri < 0 || (r.pri & 7) == pri;
}

// "<PRI>KVOGDBT[PID]: TEXT"; false for anything else.
bool ParseLine(const std::string &line, LogRec *rec)
{
    kvoboard::LogLine l;
    if (!kvoboard::ParseLogLine(line, &l) || l.ident != "KVOGDBT")
        return false;
    rec->pri = l.pri;
    rec->pid = l.pid;
    rec->text = l.text;
    return true;
}

} // namespace

const char *ServiceBinary()
{
    const char *bin = std::getenv("KVO_E2E_SERVICE");
    return bin != nullptr && bin[0] != '\0' ? bin : KVO_GDBT_BIN;
}

std::string Data(std::initializer_list<int> head)
{
    std::string s(FIFO_MSG_DATA_SIZE, ' ');
    size_t i = 0;
    for (int b : head)
        s[i++] = static_cast<char>(b);
    return s;
}

std::string Data(const std::string &head)
{
    std::string s(FIFO_MSG_DATA_SIZE, ' ');
    s.replace(0, head.size(), head);
    return s;
}

std::string Describe(const Frame &frame)
{
    char head[64];
    std::snprintf(head, sizeof head, "%03d/%03d [", frame.mid, frame.cid);
    std::string out = head;
    for (size_t i = 0; i < frame.data.size() && i < 20; ++i) {
        std::snprintf(head, sizeof head, i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(frame.data[i]));
        out += head;
    }
    return out + (frame.data.size() > 20 ? " ...]" : "]");
}

const char *PeerName(KvoPathId fifo)
{
    return KvoBasePath(fifo);
}

Rig::Rig(RigOptions options)
{
    std::string why;
    if (!root_.Create("/tmp/kvoe2e.XXXXXX", "", &why) || !root_.MakeFifos(&why) ||
        !segments_.Create(root_, options.makeOther, &why)) {
        Fail(why);
        return;
    }
    root_.Export();
    logPath_ = root_.Dir() + "/gdbt.log";
    log_.OpenFile(logPath_);
    SetGuardButton('1');
    SetAuthFlag('0');
    SetParentMode(0);
    SetHoldInhibit(0);

    for (KvoPathId id : kPeerFifos) {
        if (!peers_[id].Open(KvoPath(id), &why)) {
            Fail("peer FIFO " + why);
            return;
        }
    }
    // A writer from the start: the service's blocking open of its command
    // FIFO returns once one exists.
    if (!OpenCommandWriter())
        return;
    if (!options.emulate)
        return;
    emu_ = CrKeyEmuCreate(&why);
    if (emu_ == nullptr)
        Fail("device emulation: " + why);
}

Rig::~Rig()
{
    Stop();
    if (emu_ != nullptr)
        CrKeyEmuDestroy(emu_);
    CloseCommandWriter();
    for (auto &p : peers_)
        p.Close();
    segments_.Remove();
}

bool Rig::Fail(const std::string &why)
{
    if (error_.empty())
        error_ = why;
    return false;
}

void Rig::SetGuardButton(char c)
{
    segments_.SetByte(kvoboard::kConfig, KVO_CONFIG_GUARD_BUTTON_OFF, static_cast<uint8_t>(c));
}

void Rig::SetAuthFlag(char c)
{
    segments_.SetByte(kvoboard::kConfig, KVO_CONFIG_AUTH_FLAG_OFF, static_cast<uint8_t>(c));
}

void Rig::SetParentMode(int32_t v)
{
    segments_.Set(kvoboard::kOther, KVO_OTHER_PARENT_MODE_OFF, &v, sizeof v);
}

void Rig::SetHoldInhibit(uint8_t v)
{
    segments_.SetByte(kvoboard::kOther, KVO_OTHER_HOLD_INHIBIT_OFF, v);
}

bool Rig::Start(const char *level, bool logToFile)
{
    std::vector<std::string> args = {ServiceBinary(), "52"};
    if (level != nullptr)
        args.emplace_back(level);
    return StartCommand(args, logToFile);
}

bool Rig::StartCommand(std::vector<std::string> args, bool logToFile)
{
    if (!error_.empty() || Pid() > 0 || args.empty())
        return false;
    kvoboard::ServiceSpec launch;
    launch.env = kvoboard::ProcessEnv({"KVO_LOG_TARGET"});
    if (logToFile)
        launch.env.push_back("KVO_LOG_TARGET=file:" + logPath_);
    launch.path = args[0];
    launch.argv = std::move(args);
    std::string why;
    return service_.Start(launch, &why);
}

bool Rig::StartAndWait(std::string *result, const char *level)
{
    if (!Start(level))
        return false;
    Frame f;
    if (!WaitFrame(KVO_PATH_FIFO_STSP, &f) || f.mid != 52 || f.cid != 600)
        return false;
    if (result != nullptr)
        *result = f.data.substr(0, 3);
    return true;
}

int Rig::WaitExit(int timeoutMs)
{
    if (Pid() <= 0 || !service_.Wait(kvoboard::Deadline(timeoutMs)))
        return -1;
    return service_.Code();
}

void Rig::Stop()
{
    service_.Kill();
}

double Rig::CpuSeconds() const
{
    std::ifstream in("/proc/" + std::to_string(Pid()) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')'); // the name may hold spaces
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // Fields after the name start at 3 (state); utime is 14, stime 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool Rig::Send(int mid, int cid, const std::string &data)
{
    uint8_t frame[FIFO_MSG_SIZE];
    std::string d = Data(data.substr(0, FIFO_MSG_DATA_SIZE));
    kvoboard::BuildFrame(frame, mid, cid, d.data(), d.size());
    return command_.Write(frame, sizeof frame, kvoboard::Deadline(kWaitMs));
}

void Rig::CloseCommandWriter()
{
    command_.Close();
}

// Read and write, blocking: a writer that never waits on open, and never reads.
bool Rig::OpenCommandWriter()
{
    std::string why;
    return command_.Open(KvoPath(KVO_PATH_FIFO_GDBT), &why, true) || Fail(why);
}

// One frame, 256 bytes at a time as a receiver reads.
bool Rig::ReadFrame(kvoboard::PeerFifo &fifo, Frame *frame, const kvoboard::Deadline &deadline)
{
    uint8_t buf[FIFO_MSG_SIZE];
    size_t n = fifo.ReadFrame(buf, deadline);
    if (n == 0)
        return false;
    if (n != FIFO_MSG_SIZE) { // frames are written whole; anything else is a fault
        frame->mid = frame->cid = -1;
        frame->data.assign(reinterpret_cast<const char *>(buf), n);
        return true;
    }
    frame->mid = kvoboard::FrameId(buf);
    frame->cid = kvoboard::FrameId(buf + 3);
    frame->data.assign(reinterpret_cast<const char *>(buf) + 6, FIFO_MSG_DATA_SIZE);
    return true;
}

bool Rig::WaitFrame(KvoPathId fifo, Frame *frame, int timeoutMs)
{
    if (!peers_[fifo].IsOpen())
        return false;
    return ReadFrame(peers_[fifo], frame, kvoboard::Deadline(timeoutMs));
}

std::vector<Frame> Rig::FramesWithin(KvoPathId fifo, int ms)
{
    std::vector<Frame> frames;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    Frame f;
    while (WaitFrame(fifo, &f, MsLeft(end)))
        frames.push_back(f);
    return frames;
}

std::vector<PeerFrame> Rig::AnyFrames(int ms)
{
    std::vector<PeerFrame> frames;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        std::vector<pollfd> fds;
        for (KvoPathId id : kPeerFifos) {
            Frame f;
            while (ReadFrame(peers_[id], &f, kvoboard::Deadline::Now()))
                frames.push_back({id, f});
            fds.push_back({peers_[id].Fd(), POLLIN, 0});
        }
        int left = MsLeft(end);
        if (left == 0)
            return frames;
        poll(fds.data(), fds.size(), left);
    }
}

std::vector<LogRec> Rig::Log() const
{
    std::vector<std::string> lines;
    log_.Read(&lines);
    for (const std::string &line : lines) {
        LogRec r;
        if (!ParseLine(line, &r))
            r.text = "(unparsed) " + line;
        logRecs_.push_back(r);
    }
    return logRecs_;
}

int Rig::CountLog(const std::string &text, int pri) const
{
    std::string want = StripNewline(text);
    int n = 0;
    for (const auto &r : Log())
        n += r.text == want && PriMatches(r, pri) ? 1 : 0;
    return n;
}

int Rig::CountLogPrefix(const std::string &prefix, int pri) const
{
    int n = 0;
    for (const auto &r : Log())
        n += r.text.rfind(prefix, 0) == 0 && PriMatches(r, pri) ? 1 : 0;
    return n;
}

bool Rig::WaitLog(const std::string &text, int pri, int timeoutMs) const
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (CountLog(text, pri) > 0)
            return true;
        if (MsLeft(end) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string Rig::LogDump() const
{
    std::string out = "service log:\n";
    for (const auto &r : Log())
        out += "  <" + std::to_string(r.pri) + "> " + r.text + "\n";
    return out;
}

bool Rig::WaitPolls(unsigned n, int timeoutMs)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Stats().getStsCalls < n) {
        if (MsLeft(end) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
