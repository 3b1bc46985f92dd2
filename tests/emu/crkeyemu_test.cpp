// The guard-button device emulation as a driver client in a child process sees it (the two
// requests, event bytes, faults, counts), and the environment it hands on and restores.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crkeyemu.h"

namespace {

// One emulation, and the probe (crkeyprobe.cpp) as a child on it, one command
// in and one line out over a socket.  $KVO_CRKEY_PROBE names another build of
// the probe (the ppc preset's, run under qemu-user).
struct Emu {
    std::string error;
    CrKeyEmu *p = CrKeyEmuCreate(&error);
    pid_t pid = -1;
    int fd = -1;
    void StartProbe()
    {
        const char *other = std::getenv("KVO_CRKEY_PROBE");
        std::vector<std::string> cmd;
        int sv[2];
        ASSERT_TRUE(CrKeyEmuCommand(p, {other != nullptr ? other : KVO_PROBE_BIN}, &cmd, &error)) << error;
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
        if ((pid = fork()) == 0) {
            std::vector<char *> argv;
            for (std::string &a : cmd)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            dup2(sv[1], STDIN_FILENO);
            dup2(sv[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(sv[1]);
        fd = sv[0];
    }
    std::string Do(const std::string &cmd) // the probe's answer, "" when none comes
    {
        std::string line = cmd + "\n";
        char c;
        if (write(fd, line.data(), line.size()) <= 0)
            return "";
        for (line.clear(); read(fd, &c, 1) == 1 && c != '\n';)
            line += c;
        return line;
    }
    ~Emu()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        close(fd);
        CrKeyEmuDestroy(p);
    }
};

// Steps "COMMAND: EXPECTED" separated by ';'.  Without EXPECTED a step works the emulation
// (press, release, byte N, fault setpoll|getsts ERR); "stats" is its counts (opens, setpolls,
// getsts calls, bytes, poll time); other commands go to the probe, whose answer must be
// EXPECTED.  What the scenarios reach on both CPUs through the service (counts, a failing open
// or read, a release after N polls) is theirs; here what they cannot: bytes before the open,
// an unknown request, faults cleared.
const char kScript[] =
    "press; open: open 0 0; ready: ready 1; ioctl 2 40: ioctl 0 0 40; read: read 1 0 1; ready: ready 0;"
    "ioctl 1: ioctl 0 0 1; release; ioctl 1 7: ioctl 0 0 0; ioctl 7: ioctl -1 25 0; fault setpoll 5;"
    "fault getsts 16; press; ioctl 2 50: ioctl -1 5 50; ioctl 1: ioctl -1 16 0; fault setpoll 0; fault getsts 0;"
    "ioctl 1: ioctl 0 0 1; close: close 0 0; byte 255; open: open 0 0; read: read 1 0 255; stats: 2 2 4 3 40";

TEST(CrKeyEmu, ServesADriverClient)
{
    Emu emu;
    ASSERT_NE(nullptr, emu.p) << emu.error;
    emu.StartProbe();
    std::istringstream script(kScript);
    for (std::string step; std::getline(script, step, ';');) {
        std::istringstream in(step);
        std::string op, what;
        int n = 0;
        in >> op >> what;
        size_t colon = step.find(':');
        if (colon != std::string::npos) {
            CrKeyEmuStats s = CrKeyEmuGetStats(emu.p);
            std::ostringstream stats;
            stats << s.opens << ' ' << s.setPollCalls << ' ' << s.getStsCalls << ' ' << s.bytesSent << ' '
                  << s.lastPollTime;
            EXPECT_EQ(step.substr(colon + 2), op == "stats:" ? stats.str() : emu.Do(step.substr(0, colon))) << step;
        } else if (op == "fault" && in >> n) {
            CrKeyEmuSetFault(emu.p, what == "setpoll" ? CrKeyFault::SetPollTime : CrKeyFault::GetKeyState, n);
        } else {
            EXPECT_TRUE(op == "press" ? CrKeyEmuPress(emu.p) : op == "release" ? CrKeyEmuRelease(emu.p)
                                                                : CrKeyEmuSendByte(emu.p, std::stoi(what)));
        }
    }
}

TEST(CrKeyEmu, HandsItselfToChildrenAndRestoresTheEnvironment)
{
    setenv("ASAN_OPTIONS", "detect_leaks=1", 1);
    setenv("LD_PRELOAD", "libother.so", 1);
    std::string socket;
    {
        Emu emu;
        ASSERT_NE(nullptr, emu.p) << emu.error;
        EXPECT_EQ(KVO_PRELOAD ":libother.so", std::string(std::getenv("LD_PRELOAD")));
        EXPECT_EQ("detect_leaks=1:verify_asan_link_order=0", std::string(std::getenv("ASAN_OPTIONS")));
        socket = std::getenv("KVO_CRKEY_SOCKET");
    }
    EXPECT_EQ(nullptr, std::getenv("KVO_CRKEY_SOCKET"));
    EXPECT_EQ("detect_leaks=1 libother.so", std::string(std::getenv("ASAN_OPTIONS")) + " " + std::getenv("LD_PRELOAD"));
    EXPECT_NE(0, access(socket.substr(0, socket.rfind('/')).c_str(), F_OK)) << "left behind: " << socket;
    unsetenv("LD_PRELOAD");
}

} // namespace
