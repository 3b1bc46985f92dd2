// board.cpp - the simulated controller (see board.h).
#include "board/board.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "kvoruntime.h"
#include "kvosegments.h"
#ifdef KVO_BOARD_DEVICE
#include "crkeyemu.h"
#endif

namespace kvoboard {

namespace {

// The controller's modules write the segment words in their own CPU's
// order: an ELF file says which (EI_DATA, byte 5: 2 is big-endian).
bool ProgramIsBigEndian(const std::string &path)
{
    unsigned char id[6] = {};
    std::ifstream f(path, std::ios::binary);
    f.read(reinterpret_cast<char *>(id), sizeof id);
    return f && std::memcmp(id, "\x7f" "ELF", 4) == 0 && id[5] == 2;
}

bool HostIsBigEndian()
{
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 0;
}

// Reading order of FIFOs found ready together (see Drain).
constexpr KvoPathId kPeers[] = {
    KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP, KVO_PATH_FIFO_DISP, KVO_PATH_FIFO_LOG,
    KVO_PATH_FIFO_PARE, KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_EK,   KVO_PATH_FIFO_FTP,
};

constexpr int kGdbtRow = 20; // "kvogdbt" in the module table
static_assert(KVO_MODULE_COUNT > kGdbtRow, "row inside the table");

struct ChildLimits {
    int inheritFds;
    long fdLimit;
    bool ownGroup;
};

// In the child, before exec: only 0 to 2 and the descriptors asked for
// reach the service, with its limit and no blocked signals.
void SetUpChild(void *arg)
{
    const ChildLimits *c = static_cast<const ChildLimits *>(arg);
    if (c->ownGroup)
        setpgid(0, 0);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    for (int i = 0; i < c->inheritFds; ++i)
        if (open("/dev/null", O_RDONLY) < 0)
            break;
    if (c->fdLimit > 0) {
        struct rlimit rl = {static_cast<rlim_t>(c->fdLimit), static_cast<rlim_t>(c->fdLimit)};
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The preload asked for in front of what LD_PRELOAD holds (the emulation's).
std::string Preload(const std::string &first)
{
    const char *old = std::getenv("LD_PRELOAD");
    std::string rest = old != nullptr ? old : "";
    return first.empty() ? rest : rest.empty() ? first : first + ":" + rest;
}

std::string ProcFile(pid_t pid, const std::string &name)
{
    return "/proc/" + std::to_string(pid) + "/" + name;
}

} // namespace

int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Board::~Board()
{
    svc_.Kill();
#ifdef KVO_BOARD_DEVICE
    if (emu_ != nullptr)
        CrKeyEmuDestroy(emu_);
#endif
}

bool Board::Create(const BoardSetup &setup, std::string *error)
{
    swapWords_ = !setup.service.empty() && ProgramIsBigEndian(setup.service) != HostIsBigEndian();
    root_.Keep(setup.keep);
    if (!root_.Create(setup.tmpl, setup.dir, error))
        return false;
    if (setup.exportRoot)
        root_.Export();
    bool made = setup.byRuntime ? root_.MakeFifosWithRuntime(error) &&
                                      segments_.CreateWithRuntime(root_, setup.other, error)
                                : root_.MakeFifos(error) && segments_.Create(root_, setup.other, error);
    if (!made)
        return false;
    for (KvoPathId id : kPeers)
        if (!fifos_[id].Open(Path(id), error))
            return false;
    if (setup.commandWriter && !OpenCommandWriter()) {
        *error = Path(KVO_PATH_FIFO_GDBT) + ": " + std::strerror(errno);
        return false;
    }
    if (!setup.device)
        return true;
#ifdef KVO_BOARD_DEVICE
    std::string why;
    emu_ = CrKeyEmuCreate(&why);
    if (emu_ == nullptr)
        *error = "guard-button emulation: " + why;
    return emu_ != nullptr;
#else
    *error = "no guard-button emulation in this build";
    return false;
#endif
}

void Board::SetGuardButton(char c)
{
    segments_.SetByte(kConfig, KVO_CONFIG_GUARD_BUTTON_OFF, static_cast<uint8_t>(c));
}

void Board::SetAuthFlag(char c)
{
    segments_.SetByte(kConfig, KVO_CONFIG_AUTH_FLAG_OFF, static_cast<uint8_t>(c));
}

void Board::SetParentMode(int32_t mode)
{
    SetWord(kOther, KVO_OTHER_PARENT_MODE_OFF, mode);
}

bool Board::SetWord(char seg, size_t off, int32_t v)
{
    uint32_t u = static_cast<uint32_t>(v);
    if (swapWords_)
        u = __builtin_bswap32(u);
    return segments_.Set(seg, off, &u, sizeof u);
}

void Board::SetHoldInhibit(uint8_t v)
{
    segments_.SetByte(kOther, KVO_OTHER_HOLD_INHIBIT_OFF, v);
}

bool Board::Send(const Frame &f, int ms)
{
    auto bytes = EncodeFrame(f);
    return SendRaw(bytes.data(), bytes.size(), ms);
}

bool Board::SendRaw(const void *bytes, size_t len, int ms)
{
    return cmd_.Write(bytes, len, Deadline(ms));
}

bool Board::OpenCommandWriter()
{
    // Reading and writing: the open never waits, and the FIFO keeps a
    // writer whatever the service does.
    std::string error;
    return cmd_.IsOpen() || cmd_.Open(Path(KVO_PATH_FIFO_GDBT), &error);
}

int Board::Pending() const
{
    int n = 0;
    return cmd_.IsOpen() && ioctl(cmd_.Fd(), FIONREAD, &n) == 0 ? n : -1;
}

int Board::Fd(KvoPathId id) const
{
    return id == KVO_PATH_FIFO_GDBT ? cmd_.Fd() : id < KVO_PATH_COUNT ? fifos_[id].Fd() : -1;
}

bool Board::ReadPeer(KvoPathId peer, int64_t now)
{
    uint8_t buf[FIFO_MSG_SIZE];
    size_t n = paused_[peer] ? 0 : fifos_[peer].ReadFrame(buf);
    if (n == 0)
        return false;
    got_.push_back({peer, ParseFrame(buf, n), now});
    const Frame &f = got_.back().frame;
    ++counts_[{peer, f.cid}];
    if (n != FIFO_MSG_SIZE)
        stray_[peer] += n;
    return true;
}

void Board::Drain()
{
    // Lines first: a line read now was written before any frame read next.
    if (logFifo_)
        log_.Read(&logLines_);
    int64_t now = NowNs(); // when the FIFOs were found readable
    for (KvoPathId id : kPeers)
        while (ReadPeer(id, now)) {
        }
}

void Board::AddPollFds(std::vector<pollfd> *fds) const
{
    if (logFifo_)
        fds->push_back({log_.Fd(), POLLIN, 0});
    for (KvoPathId id : kPeers)
        if (fifos_[id].IsOpen() && !paused_[id])
            fds->push_back({fifos_[id].Fd(), POLLIN, 0});
}

void Board::Collect(int ms)
{
    std::vector<pollfd> fds;
    AddPollFds(&fds);
    if (ms > 0)
        poll(fds.data(), fds.size(), ms);
    Drain();
}

void Board::Pump(int ms)
{
    Deadline end(ms);
    do
        Collect(end.MsLeft());
    while (!end.Passed());
}

size_t Board::Count(KvoPathId peer, int cid) const
{
    auto it = counts_.find({peer, cid});
    return it == counts_.end() ? 0 : it->second;
}

size_t Board::Stray(KvoPathId peer) const
{
    return stray_[peer];
}

bool Board::WaitCount(KvoPathId peer, int cid, size_t n, int ms)
{
    Deadline end(ms);
    for (Drain(); Count(peer, cid) < n; Collect(end.MsLeft(50)))
        if (end.Passed())
            return false;
    return true;
}

bool Board::Next(KvoPathId peer, int cid, int ms, Arrival *out)
{
    Deadline end(ms);
    for (Drain();; Collect(end.MsLeft(50))) {
        for (size_t &i = next_[peer]; i < got_.size(); ++i) {
            if (got_[i].peer == peer && got_[i].frame.cid == cid) {
                *out = got_[i++];
                return true;
            }
        }
        if (end.Passed())
            return false;
    }
}

void Board::Skip()
{
    Drain();
    for (size_t &i : next_)
        i = got_.size();
}

void Board::PausePeer(KvoPathId peer, bool paused)
{
    paused_[peer] = paused;
}

bool Board::OpenPeer(KvoPathId peer)
{
    std::string error;
    return fifos_[peer].IsOpen() || fifos_[peer].Open(Path(peer), &error);
}

// The command that runs the service on its own CPU: its argv for a host
// program; for a PowerPC one the qemu-user command, with launch.preload in
// front of the emulation's PowerPC preload.
bool Board::Command(const Launch &launch, std::vector<std::string> *cmd, std::string *error)
{
    std::vector<std::string> argv = {launch.service, "52"};
    if (launch.level)
        argv.push_back(*launch.level);
#ifdef KVO_BOARD_DEVICE
    if (!CrKeyEmuCommand(emu_, argv, cmd, error))
        return false;
#else
    (void)error; // no emulation: every program runs as it is
    *cmd = argv;
#endif
    emulator_.clear();
    if (*cmd == argv)
        return true;
    auto name = [](const std::string &path) { return path.substr(path.find_last_of('/') + 1); };
    emulator_ = name(cmd->front()); // qemu, found below, in place of env
    const std::string var = "LD_PRELOAD=";
    bool preloaded = launch.preload.empty();
    for (std::string &a : *cmd) {
        if (emulator_.compare(0, 4, "qemu") != 0 && name(a).compare(0, 4, "qemu") == 0)
            emulator_ = name(a);
        if (!preloaded && a.compare(0, var.size(), var) == 0) {
            a.insert(var.size(), launch.preload + ":");
            preloaded = true;
        }
    }
    if (!preloaded) // no emulation: the program's own preload only
        cmd->insert(cmd->end() - static_cast<long>(argv.size()), {"-E", var + launch.preload});
    return true;
}

bool Board::Start(const Launch &launch, std::string *error)
{
    if (launch.wrap.empty() && access(launch.service.c_str(), X_OK) != 0) {
        *error = launch.service + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> cmd;
    if (!Command(launch, &cmd, error))
        return false;
    std::string target;
    logFifo_ = launch.log == LogTo::Fifo;
    if (logFifo_) {
        std::string fifo = Dir() + "/kvogdbt.logfifo";
        if ((mkfifo(fifo.c_str(), 0666) != 0 && errno != EEXIST) || !log_.OpenFifo(fifo, error)) {
            *error = fifo + ": " + std::strerror(errno);
            return false;
        }
        log_.CopyTo(LogPath());
        target = "file:" + fifo;
    } else if (launch.log == LogTo::File) {
        log_.OpenFile(LogPath());
        target = "file:" + LogPath();
    }
    if (launch.asModule) {
        setenv("KVO_LOG_TARGET", target.c_str(), 1);
        return StartModule(launch, cmd, error);
    }
    ServiceStart how;
    how.env = ProcessEnv({"LD_PRELOAD", "KVO_ROOT", "KVO_LOG_TARGET"});
    how.env.push_back("KVO_ROOT=" + Dir());
    if (!target.empty())
        how.env.push_back("KVO_LOG_TARGET=" + target);
    std::string preload = Preload(emulator_.empty() ? launch.preload : ""); // a PowerPC one is in cmd
    if (!preload.empty())
        how.env.push_back("LD_PRELOAD=" + preload);
    how.env.insert(how.env.end(), launch.env.begin(), launch.env.end());
    how.argv = launch.wrap;
    how.argv.insert(how.argv.end(), cmd.begin(), cmd.end());
    if (launch.wrap.empty() && emulator_.empty())
        how.argv[0] = "kvogdbt";
    how.path = launch.wrap.empty() ? cmd[0] : launch.wrap[0];
    how.searchPath = !launch.wrap.empty();
    how.dieWithParent = true;
    ChildLimits limits = {launch.inheritFds, launch.fdLimit, launch.ownGroup};
    how.childSetup = SetUpChild;
    how.childArg = &limits;
    return svc_.Start(how, error);
}

bool Board::StartModule(const Launch &launch, const std::vector<std::string> &cmd, std::string *error)
{
    ProcInfo *pi = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
    const char *old = std::getenv("LD_PRELOAD");
    std::string saved = old != nullptr ? old : "";
    std::string preload = Preload(emulator_.empty() ? launch.preload : ""); // a PowerPC one is in cmd
    if (!preload.empty())
        setenv("LD_PRELOAD", preload.c_str(), 1);
    // While ComProcessCreate has SIGCHLD ignored, a service that ends at
    // once would be reaped unseen: no writer may hold its command FIFO
    // until the default is back, so that it waits in its start-up open.
    bool writer = cmd_.IsOpen();
    cmd_.Close();
    pid_t self = getpid();
    std::vector<char *> argv;
    for (const std::string &a : cmd)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int pid = pi == nullptr        ? -1
              : emulator_.empty() ? ComProcessCreate(pi, launch.service.c_str(), kGdbtRow, 0,
                                                     launch.level ? launch.level->c_str() : nullptr)
                                  : ComProcessCreateGrandChild(pi, cmd[0].c_str(), argv.data());
    if (pid == -1 && getpid() != self)
        _exit(127); // a child whose execv failed must not go on as a second board
    std::free(pi);
    if (old != nullptr)
        setenv("LD_PRELOAD", saved.c_str(), 1);
    else
        unsetenv("LD_PRELOAD");
    // ComProcessCreate leaves SIGCHLD ignored, which would reap the service
    // behind our back.
    signal(SIGCHLD, SIG_DFL);
    if (pid <= 0) {
        *error = "cannot start " + launch.service;
        return false;
    }
    svc_.Adopt(pid);
    if (writer && !OpenCommandWriter()) {
        *error = "cannot open the command FIFO for writing";
        return false;
    }
    return true;
}

int Board::AwaitStartup(int ms)
{
    Deadline end(ms);
    while (Count(KVO_PATH_FIFO_STSP, CMDID_WAKEUP_COMP) == 0 && !end.Passed() && svc_.Running())
        Collect(end.MsLeft(50));
    Drain();
    for (const Arrival &a : got_)
        if (a.peer == KVO_PATH_FIFO_STSP && a.frame.cid == CMDID_WAKEUP_COMP)
            return std::memcmp(a.frame.data.data(), "000", 3) == 0 ? 0 : 1;
    return -1;
}

bool Board::WaitExit(int ms)
{
    Deadline end(ms);
    while (svc_.Running() && !end.Passed())
        Collect(end.MsLeft(20));
    Drain(); // its last frames and lines came before its end
    return svc_.Ended();
}

int Board::Stop(int ms)
{
    if (!svc_.Running())
        return svc_.Started() ? svc_.Code() : -1;
    Frame f = MakeFrame(MODID_STS, CMDID_TERMINATE, {0});
    Send(f, ms);
    if (WaitExit(ms))
        return svc_.Code();
    svc_.Kill();
    return -1;
}

void Board::TakeLogLines(std::vector<std::string> *lines)
{
    log_.Read(&logLines_);
    lines->insert(lines->end(), logLines_.begin(), logLines_.end());
    logLines_.clear();
}

std::string Board::LogText(size_t max) const
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::string text(max, '\0');
    in.read(&text[0], static_cast<std::streamsize>(max));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

long long Board::LogSize() const
{
    struct stat st;
    return stat(LogPath().c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

int FdCount(pid_t pid)
{
    std::vector<std::string> fds = FdTargets(pid);
    return fds.empty() ? -1 : static_cast<int>(fds.size());
}

std::vector<std::string> FdTargets(pid_t pid)
{
    std::vector<std::string> out;
    std::string dir = ProcFile(pid, "fd");
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d != nullptr ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        out.push_back(std::string(e->d_name) + " -> " + target);
    }
    if (d != nullptr)
        closedir(d);
    return out;
}

long ProcField(pid_t pid, const std::string &file, const std::string &field)
{
    std::ifstream in(ProcFile(pid, file));
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size(), field) == 0)
            return std::atol(line.c_str() + field.size());
    return -1;
}

long CpuTicks(pid_t pid)
{
    std::ifstream in(ProcFile(pid, "stat"));
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The name may hold spaces: fields are counted after its ')', which
    // is followed by field 3; utime and stime are fields 14 and 15.
    size_t at = stat.rfind(')');
    for (int field = 2; at != std::string::npos && field < 14; ++field)
        at = stat.find(' ', at + 1);
    if (at == std::string::npos)
        return -1;
    char *end = nullptr;
    long utime = std::strtol(stat.c_str() + at + 1, &end, 10);
    return utime + std::strtol(end, nullptr, 10);
}

long CpuMs(pid_t pid)
{
    long ticks = CpuTicks(pid);
    return ticks < 0 ? -1 : ticks * 1000 / sysconf(_SC_CLK_TCK);
}

} // namespace kvoboard
