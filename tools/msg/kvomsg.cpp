// kvomsg.cpp - the frame tool: send one frame to a module's FIFO, decode
// frames from a file or a pipe, watch a FIFO nobody else reads, or monitor
// the frames running modules write and read (monitor.cpp).  Paths follow
// KVO_ROOT, so the same tool serves the controller and a simulated one.
// This file reads the command line and runs the command; every error names
// the argument or the cause in one line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "commands.h"
#include "describe.h"
#include "fifocheck.h"
#include "frame.h"
#include "kvoruntime.h"
#include "monitor.h"
#include "names.h"
#include "numbers.h"
#include "procfs.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "usage: kvomsg [-v] send FIFO MODULE COMMAND [--text TEXT | --hex HEX]\n"
    "       kvomsg decode [FILE]\n"
    "       kvomsg watch FIFO [--count N] [--take]\n"
    "       kvomsg monitor [--pid PID]... [MODULE]... [--count N] [--registers]\n"
    "\n"
    "  send     write one 256-byte frame from MODULE to FIFO, as a module does; the\n"
    "           data is spaces unless --text or --hex gives its first bytes\n"
    "  decode   print the frames of FILE (or standard input), 256 bytes each\n"
    "  watch    read FIFO as its module would and print each frame; refused while\n"
    "           another process reads FIFO, since every frame watch reads is lost to\n"
    "           it (--take: read anyway, for a FIFO whose module is stopped)\n"
    "  monitor  print every frame that running processes write to or read from the\n"
    "           FIFOs, taking none of them: the processes given by --pid, or those\n"
    "           running MODULE, or every process named after a module (kvogdbt,\n"
    "           kvosts, ...).  Follows their read and write calls with ptrace, so it\n"
    "           needs root or the right to trace them; Ctrl-C detaches.  --registers\n"
    "           reads the calls from the CPU registers, as kernels before 5.3 need\n"
    "  --count N  stop after N frames\n"
    "  -v       also the runtime's own log lines (-vv: its traces too)\n"
    "\n"
    "FIFO:     FifoGdbt, FifoSts, FifoStsp, FifoPare, FifoAuth, FifoDisp, FifoEk,\n"
    "          FifoLog, FifoFtp, or a short name (sts, status, kvosts, 80)\n"
    "MODULE:   0 to 999, or a name of the module table (kvosts, sts, kvogdbt, gdbt)\n"
    "COMMAND:  0 to 999, or a name (terminate, io_stsreq, gdbt_func, guard_req, ...)\n"
    "HEX:      pairs of hex digits, spaces or colons between allowed (\"00\", \"20 20 01\")\n"
    "Each frame prints as `TIME FIFO SENDER(ID) COMMAND meaning, data`.  The FIFOs are\n"
    "in /tmp/pipe, or under $KVO_ROOT when it is set.\n"
    "Exit status: 0 done, 1 failed (not sent, FIFO missing or read by another\n"
    "process, nothing to monitor), 2 bad arguments.\n";

int g_verbose = 0;
std::string g_lastRuntimeError;

// The runtime's own lines: the last error is kept for a send that failed in
// a way the FIFO checks cannot explain; with -v every line is shown.
void RuntimeLine(int priority, const char *text, void *)
{
    std::string line = text;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (priority <= LOG_INFO)
        g_lastRuntimeError = line;
    if (g_verbose > 0)
        std::fprintf(stderr, "kvomsg: runtime: %s\n", line.c_str());
}

int Bad(const std::string &what)
{
    std::fprintf(stderr, "kvomsg: %s (see kvomsg --help)\n", what.c_str());
    return kUsage;
}

int Fail(const std::string &what)
{
    std::fprintf(stderr, "kvomsg: %s\n", what.c_str());
    return kFailed;
}

std::string Quoted(const std::string &s) { return "'" + s + "'"; }

// ---- the command line ----

struct OptInfo {
    const char *name;
    bool takesValue;
};

struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts; // in order given
    bool help = false;

    const std::string *Last(const char *name) const
    {
        const std::string *v = nullptr;
        for (const auto &o : opts)
            if (o.first == name)
                v = &o.second;
        return v;
    }
};

// Splits the words after the command into positions and the command's
// options; -v and --help go with every command.  "" or the error.
std::string ParseArgs(const std::string &cmd, int argc, char **argv,
                      const std::vector<OptInfo> &table, Args *a)
{
    for (int i = 2; i < argc; ++i) {
        std::string w = argv[i];
        if (w == "-h" || w == "--help") {
            a->help = true;
        } else if (w == "-v" || w == "--verbose") {
            ++g_verbose;
        } else if (w == "-vv") {
            g_verbose += 2;
        } else if (w.size() > 1 && w[0] == '-') {
            const OptInfo *known = nullptr;
            for (const OptInfo &s : table)
                if (w == s.name)
                    known = &s;
            if (known == nullptr)
                return "unknown option " + Quoted(w) + " for " + cmd;
            if (known->takesValue && i + 1 == argc)
                return w + " needs a value";
            a->opts.emplace_back(w, known->takesValue ? argv[++i] : "");
        } else {
            a->pos.push_back(w);
        }
    }
    return "";
}

std::string PeerNames()
{
    size_t n = 0;
    const PeerFifo *peers = PeerFifos(&n);
    std::string all;
    for (size_t i = 0; i < n; ++i)
        all += (i ? ", " : "") + std::string(peers[i].fifo);
    return all;
}

// "" and *peer, or the error.
std::string PeerArg(const std::string &arg, const PeerFifo **peer)
{
    *peer = FindPeer(arg);
    if (*peer == nullptr)
        return Quoted(arg) + " is no FIFO or peer module: " + PeerNames();
    return "";
}

std::string CountArg(const Args &a, long *count)
{
    const std::string *v = a.Last("--count");
    if (v != nullptr && !ParseLong(*v, 1, 1000000, count))
        return "--count " + Quoted(*v) + ": not a number from 1 to 1000000";
    return "";
}

std::string DataArg(const Args &a, FrameData *data)
{
    DataPatch p;
    const std::string *text = a.Last("--text");
    const std::string *hex = a.Last("--hex");
    if (a.opts.size() > 1)
        return "give the data once, with --text or --hex";
    if (text != nullptr)
        p.bytes.assign(text->begin(), text->end());
    if (hex != nullptr && !ParseHexBytes(*hex, &p.bytes))
        return "--hex " + Quoted(*hex) + ": not pairs of hex digits";
    if (!BuildData({p}, data))
        return "data of " + std::to_string(p.bytes.size()) + " bytes: a frame holds " +
               std::to_string(FIFO_MSG_DATA_SIZE);
    return "";
}

std::string ExtraArg(const Args &a, size_t most)
{
    return a.pos.size() > most ? "unexpected argument " + Quoted(a.pos[most]) : "";
}

// ---- send, decode, watch ----

int Send(const Args &a)
{
    if (a.pos.size() < 3)
        return Bad("send needs FIFO MODULE COMMAND");
    const PeerFifo *peer = nullptr;
    Frame f;
    std::string error = ExtraArg(a, 3);
    if (error.empty())
        error = PeerArg(a.pos[0], &peer);
    if (error.empty() && !ParseModule(a.pos[1], &f.mid))
        error = Quoted(a.pos[1]) + " is no module (0 to 999, or a name such as kvosts or sts)";
    if (error.empty() && !ParseCommand(a.pos[2], &f.cid))
        error = Quoted(a.pos[2]) + " is no command (0 to 999, or a name such as terminate)";
    if (error.empty())
        error = DataArg(a, &f.data);
    if (!error.empty())
        return Bad(error);

    const char *path = KvoPath(peer->path);
    if (ComFIFOPutData2(path, f.mid, f.cid, reinterpret_cast<const char *>(f.data.data())) != 0) {
        std::string why = FifoWriteProblem(peer->fifo, path);
        if (why.empty())
            why = "not delivered to " + std::string(path) + ": " + g_lastRuntimeError;
        return Fail("not sent: " + why);
    }
    std::printf("sent to %s: %s\n", peer->fifo, DescribeFrame(f).c_str());
    return 0;
}

// Fills buf with up to 256 bytes, across short reads; the count read.
size_t ReadFrameBytes(int fd, uint8_t *buf)
{
    size_t got = 0;
    while (got < FIFO_MSG_SIZE) {
        ssize_t n = read(fd, buf + got, FIFO_MSG_SIZE - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

int Decode(const Args &a)
{
    std::string error = ExtraArg(a, 1);
    if (!error.empty())
        return Bad(error);
    int fd = STDIN_FILENO;
    if (!a.pos.empty() && a.pos[0] != "-") {
        fd = open(a.pos[0].c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return Fail(a.pos[0] + ": " + std::strerror(errno));
    }
    uint8_t buf[FIFO_MSG_SIZE];
    size_t n;
    while ((n = ReadFrameBytes(fd, buf)) > 0)
        std::printf("%s\n", DescribeFrame(ParseFrame(buf, n)).c_str());
    return 0;
}

// Another reader of the FIFO would lose every frame watch reads: refused
// unless --take says its module is stopped.  false when refused.
bool MayWatch(const PeerFifo &peer, const char *path, bool take)
{
    struct stat st;
    int unreadable = 0;
    if (stat(path, &st) != 0)
        return true; // the open below says why
    std::vector<FifoHolder> readers = FifoReaders(st, getpid(), &unreadable);
    if (!readers.empty() && !take) {
        bool one = readers.size() == 1;
        Fail(ProcessLabels(readers) + (one ? " reads " : " read ") + peer.fifo + ": watching would take " +
             (one ? "its" : "their") + " frames (kvomsg monitor shows them without; --take reads anyway)");
        return false;
    }
    if (!readers.empty())
        std::fprintf(stderr, "kvomsg: warning: taking the frames of %s from %s\n", peer.fifo,
                     ProcessLabels(readers).c_str());
    else if (unreadable > 0)
        std::fprintf(stderr, "kvomsg: note: %d processes of other users could not be checked "
                     "for readers of %s\n", unreadable, peer.fifo);
    return true;
}

int Watch(const Args &a)
{
    if (a.pos.empty())
        return Bad("watch needs a FIFO");
    long count = -1;
    const PeerFifo *peer = nullptr;
    std::string error = ExtraArg(a, 1);
    if (error.empty())
        error = PeerArg(a.pos[0], &peer);
    if (error.empty())
        error = CountArg(a, &count);
    if (!error.empty())
        return Bad(error);
    const char *path = KvoPath(peer->path);
    error = FifoPathProblem(peer->fifo, path);
    if (!error.empty())
        return Fail(error);
    if (!MayWatch(*peer, path, a.Last("--take") != nullptr))
        return kFailed;
    // Held for reading and writing, as a module holds its own FIFO: senders
    // never block and the FIFO never reports end of file.
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return Fail(std::string(path) + ": " + std::strerror(errno));
    std::fprintf(stderr, "watching %s\n", path);
    uint8_t buf[FIFO_MSG_SIZE];
    for (long seen = 0; count < 0 || seen < count; ++seen) {
        ssize_t n;
        do {
            n = read(fd, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return Fail(std::string("reading ") + path + ": " + std::strerror(errno));
        std::printf("%s\n", TimedFrameLine(peer->fifo, ParseFrame(buf, static_cast<size_t>(n))).c_str());
        std::fflush(stdout);
    }
    return 0;
}

// ---- monitor ----

int MonitorCmd(const Args &a)
{
    MonitorOptions m;
    std::string error = CountArg(a, &m.count);
    for (const auto &o : a.opts) {
        long pid = 0;
        if (!error.empty() || o.first != "--pid")
            continue;
        if (!ParseLong(o.second, 1, 0x7fffffff, &pid))
            error = "--pid " + Quoted(o.second) + ": not a process id";
        m.pids.push_back(static_cast<pid_t>(pid));
    }
    for (const std::string &p : a.pos) {
        int id = -1;
        const char *name = ParseModule(p, &id) ? ComModuleName(id) : nullptr;
        if (error.empty() && name == nullptr)
            error = Quoted(p) + " is no module of the module table (kvogdbt, kvosts, ...)";
        if (name != nullptr)
            m.modules.push_back(name);
    }
    if (!error.empty())
        return Bad(error);
    m.registers = a.Last("--registers") != nullptr;
    return Monitor(m);
}

struct Command {
    const char *name;
    std::vector<OptInfo> opts;
    int (*run)(const Args &);
};

const Command kCommands[] = {
    {"send", {{"--text", true}, {"--hex", true}}, Send},
    {"decode", {}, Decode},
    {"watch", {{"--count", true}, {"--take", false}}, Watch},
    {"monitor", {{"--pid", true}, {"--count", true}, {"--registers", false}}, MonitorCmd},
};

int Help()
{
    std::fputs(kHelp, stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        std::string w = argv[first];
        if (w == "-h" || w == "--help")
            return Help();
        if (w == "-v" || w == "--verbose" || w == "-vv")
            g_verbose += w == "-vv" ? 2 : 1;
        else
            return Bad("unknown option " + Quoted(w));
    }
    if (first == argc)
        return Bad("which command? send, decode, watch or monitor");
    const Command *cmd = nullptr;
    for (const Command &c : kCommands)
        if (std::strcmp(argv[first], c.name) == 0)
            cmd = &c;
    if (std::strcmp(argv[first], "help") == 0)
        return Help();
    if (cmd == nullptr)
        return Bad("unknown command " + Quoted(argv[first]) + ": send, decode, watch or monitor");
    Args a;
    std::string error = ParseArgs(cmd->name, argc - (first - 1), argv + (first - 1), cmd->opts, &a);
    if (a.help)
        return Help();
    if (!error.empty())
        return Bad(error);
    ComLogSetMask(LOG_UPTO(g_verbose > 1 ? LOG_DEBUG : LOG_INFO));
    ComLogSetSink(RuntimeLine, nullptr);
    return cmd->run(a);
}
