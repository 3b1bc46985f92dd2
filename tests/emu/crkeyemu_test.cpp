// The guard-button device emulation, seen from a child process as a driver
// client sees it: the two requests, the event bytes, the faults, the exact
// counts, and the environment it hands on.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "crkeyemu.h"

namespace {

// The probe (crkeyprobe.cpp) as a child on the emulation: one command in,
// one line out. $KVO_CRKEY_PROBE names another build of it (the ppc
// preset's runs under qemu-user), else it is the one built here.
class Probe {
public:
    explicit Probe(const CrKeyEmu *emu)
    {
        const char *other = std::getenv("KVO_CRKEY_PROBE");
        std::vector<std::string> cmd;
        std::string why;
        int sv[2];
        if (!CrKeyEmuCommand(emu, {other != nullptr ? other : KVO_PROBE_BIN}, &cmd, &why))
            ADD_FAILURE() << why;
        if (cmd.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            return;
        std::vector<char *> argv;
        for (std::string &a : cmd)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            dup2(sv[1], STDIN_FILENO);
            dup2(sv[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(sv[1]);
        out_ = fdopen(sv[0], "r"); // commands are written to the same socket
    }
    ~Probe()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
        if (out_ != nullptr)
            std::fclose(out_);
    }
    // The answer to one command, "" when none comes.
    std::string Do(const std::string &cmd)
    {
        std::string line = cmd + "\n";
        char buf[256];
        if (out_ == nullptr || write(fileno(out_), line.data(), line.size()) <= 0 ||
            std::fgets(buf, sizeof buf, out_) == nullptr)
            return "";
        return std::string(buf, std::strcspn(buf, "\n"));
    }

private:
    pid_t pid_ = -1;
    FILE *out_ = nullptr;
};

// Words equal, "*" matching any one word.
bool Matches(const std::string &line, const std::string &pattern)
{
    std::istringstream l(line), p(pattern);
    std::string a, b;
    while (p >> b)
        if (!(l >> a) || (b != "*" && a != b))
            return false;
    return !(l >> a);
}

std::string Format(const CrKeyEmuStats &s)
{
    return "opens=" + std::to_string(s.opens) + " setpoll=" + std::to_string(s.setPollCalls) +
           " getsts=" + std::to_string(s.getStsCalls) + " bytes=" + std::to_string(s.bytesSent) +
           " polltime=" + std::to_string(s.lastPollTime);
}

// A case is a script of steps "COMMAND: EXPECTED" separated by ';'. A step
// without EXPECTED works the emulation (press, release, byte N, after N,
// fault open|setpoll|getsts|read ERR); "stats" is checked against the
// counts, as Format prints them; any other command goes to the probe
// (crkeyprobe.cpp), whose answer must match EXPECTED.
struct Case {
    const char *name, *script;
};

const Case kCases[] = {
    {"RequestsAndBytesWaitingForTheOpen",
     "press; open: open * 0; ready: ready 1; ioctl 2 40: ioctl 0 0 40; read: read 1 0 1; ready: ready 0;"
     "ioctl 1: ioctl 0 0 1; release; ioctl 1 7: ioctl 0 0 0; ioctl 7: ioctl -1 25 0; close: close 0 0; byte 9;"
     "open: open * 0; ready: ready 1; read: read 1 0 9; stats: opens=2 setpoll=1 getsts=2 bytes=2 polltime=40"},
    {"RequestFaultsFailUntilCleared",
     "open: open * 0; ioctl 2 40: ioctl 0 0 40; fault setpoll 5; fault getsts 16; press;"
     "ioctl 2 50: ioctl -1 5 50; ioctl 1: ioctl -1 16 0; ioctl 1: ioctl -1 16 0; fault setpoll 0;"
     "fault getsts 0; ioctl 1: ioctl 0 0 1; stats: opens=1 setpoll=2 getsts=3 bytes=1 polltime=40"},
    {"ReadFaultFailsOneReadAndTakesItsByte",
     "open: open * 0; fault read 5; byte 1; byte 2; read: read -1 5 0; read: read 1 0 2; fault read -1;"
     "byte 3; byte 4; read: read 0 0 0; read: read 1 0 4; stats: opens=1 setpoll=0 getsts=0 bytes=4 polltime=-1"},
    {"OpenFaultFailsOpensUntilCleared",
     "fault open 19; open: open -1 19; open: open -1 19; fault open 0; open: open * 0;"
     "stats: opens=1 setpoll=0 getsts=0 bytes=0 polltime=-1"},
    {"ReleaseAfterPollsEndsTheHoldAtTheGivenPoll",
     "open: open * 0; press; after 2; ioctl 1: ioctl 0 0 1; ioctl 1: ioctl 0 0 1; ioctl 1: ioctl 0 0 0;"
     "read: read 1 0 1; stats: opens=1 setpoll=0 getsts=3 bytes=1 polltime=-1"},
};

// Works the emulation; false when the command is not one of its own.
bool Act(CrKeyEmu *emu, const std::string &cmd)
{
    static const char *const kFaults[] = {"open", "setpoll", "getsts", "read"};
    std::istringstream in(cmd);
    std::string op, what;
    int n = 0;
    in >> op;
    if (op == "press" || op == "release")
        return op == "press" ? CrKeyEmuPress(emu) : CrKeyEmuRelease(emu);
    if (op == "byte" && in >> n)
        return CrKeyEmuSendByte(emu, static_cast<uint8_t>(n));
    if (op == "after" && in >> n)
        return CrKeyEmuReleaseAfterPolls(emu, static_cast<unsigned>(n)), true;
    in >> what >> n;
    for (int f = 0; op == "fault" && f < 4; ++f) {
        if (what == kFaults[f])
            return CrKeyEmuSetFault(emu, static_cast<CrKeyFault>(f), n), true;
    }
    return false;
}

// One emulation for the scope it is declared in.
struct Emu {
    std::string error;
    CrKeyEmu *p = CrKeyEmuCreate(&error);
    ~Emu() { CrKeyEmuDestroy(p); }
};

TEST(CrKeyEmu, ServesADriverClient)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        Emu emu;
        ASSERT_NE(emu.p, nullptr) << emu.error;
        Probe probe(emu.p);
        std::istringstream script(c.script);
        for (std::string step; std::getline(script, step, ';');) {
            size_t colon = step.find(':');
            std::string cmd = step.substr(0, colon);
            std::string expect = colon == std::string::npos ? "" : step.substr(colon + 1);
            if (expect.empty()) {
                EXPECT_TRUE(Act(emu.p, cmd)) << cmd;
                continue;
            }
            std::string got = Matches(cmd, "stats") ? Format(CrKeyEmuGetStats(emu.p)) : probe.Do(cmd);
            EXPECT_TRUE(Matches(got, expect)) << cmd << ": " << got << ", not " << expect;
        }
    }
}

TEST(CrKeyEmu, DeliversEveryByteValueUnchangedOnePerRead)
{
    Emu emu;
    Probe probe(emu.p);
    ASSERT_TRUE(emu.p != nullptr && Matches(probe.Do("open"), "open * 0")) << emu.error;
    for (int b = 0; b < 256; ++b)
        ASSERT_TRUE(CrKeyEmuSendByte(emu.p, static_cast<uint8_t>(b)));
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(probe.Do("read"), "read 1 0 " + std::to_string(b));
}

TEST(CrKeyEmu, HandsItselfToChildrenAndRestoresTheEnvironment)
{
    setenv("ASAN_OPTIONS", "detect_leaks=1", 1);
    setenv("LD_PRELOAD", "libother.so", 1);
    std::string socket;
    {
        Emu emu;
        ASSERT_NE(emu.p, nullptr) << emu.error;
        EXPECT_EQ(std::string(std::getenv("LD_PRELOAD")), KVO_PRELOAD ":libother.so");
        EXPECT_EQ(std::string(std::getenv("ASAN_OPTIONS")), "detect_leaks=1:verify_asan_link_order=0");
        socket = std::getenv("KVO_CRKEY_SOCKET");
    }
    EXPECT_EQ(std::getenv("KVO_CRKEY_SOCKET"), nullptr);
    EXPECT_EQ(std::string(std::getenv("ASAN_OPTIONS")), "detect_leaks=1");
    EXPECT_EQ(std::string(std::getenv("LD_PRELOAD")), "libother.so");
    EXPECT_NE(access(socket.substr(0, socket.rfind('/')).c_str(), F_OK), 0) << "left behind: " << socket;
    unsetenv("LD_PRELOAD");
}

} // namespace
