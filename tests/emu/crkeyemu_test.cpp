// The guard-button device emulation, seen from a child process as a driver
// client sees it: the two requests, the event bytes, the faults, the exact
// counts, the environment it hands on, and the kvocrkey wrapper.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "crkeyemu.h"

namespace {

// A child with its standard input and output on pipes, read line by line.
class Child {
public:
    explicit Child(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Child()
    {
        close(in_);
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
        close(out_);
    }
    bool Write(const std::string &line) { return write(in_, (line + "\n").data(), line.size() + 1) > 0; }
    // The next output line, or "(timeout)" / "(eof)" after 10 s.
    std::string Line()
    {
        for (size_t nl; (nl = buf_.find('\n')) == std::string::npos;) {
            pollfd p{out_, POLLIN, 0};
            char c[256];
            ssize_t n = poll(&p, 1, 10000) > 0 ? read(out_, c, sizeof c) : -1;
            if (n <= 0)
                return n < 0 ? "(timeout)" : "(eof)";
            buf_.append(c, static_cast<size_t>(n));
        }
        std::string l = buf_.substr(0, buf_.find('\n'));
        buf_.erase(0, l.size() + 1);
        return l;
    }
    // Exit code, or 128 + signal.
    int Wait()
    {
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buf_;
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

// A step works the emulation ("press", "release", "byte N", "after N",
// "fault open|setpoll|getsts|read ERR") or is a probe command answered by
// a line matching `expect` (see crkeyprobe.cpp).
struct Step {
    const char *cmd;
    const char *expect;
};

struct Case {
    const char *name;
    std::vector<Step> steps;
    CrKeyEmuStats stats; // opens, setPollCalls, getStsCalls, bytesSent, lastPollTime
};

const Case kCases[] = {
    {"RequestsAndBytesWaitingForTheOpen",
     {{"press", ""}, {"open", "open * 0"}, {"ioctl 2 40", "ioctl 0 0 40"}, {"read", "read 1 0 1"},
      {"ioctl 1", "ioctl 0 0 1"}, {"release", ""}, {"ioctl 1 7", "ioctl 0 0 0"},
      {"ioctl 7", "ioctl -1 25 0"}, {"close", "close 0 0"}, {"byte 9", ""}, {"open", "open * 0"},
      {"read", "read 1 0 9"}},
     {2, 1, 2, 2, 40}},
    {"RequestFaultsFailUntilCleared",
     {{"open", "open * 0"}, {"ioctl 2 40", "ioctl 0 0 40"}, {"fault setpoll 5", ""}, {"fault getsts 16", ""},
      {"press", ""}, {"ioctl 2 50", "ioctl -1 5 50"}, {"ioctl 1", "ioctl -1 16 0"}, {"ioctl 1", "ioctl -1 16 0"},
      {"fault setpoll 0", ""}, {"fault getsts 0", ""}, {"ioctl 1", "ioctl 0 0 1"}},
     {1, 2, 3, 1, 40}},
    {"ReadFaultFailsOneReadAndTakesItsByte",
     {{"open", "open * 0"}, {"fault read 5", ""}, {"byte 1", ""}, {"byte 2", ""}, {"read", "read -1 5 *"},
      {"read", "read 1 0 2"}, {"fault read -1", ""}, {"byte 3", ""}, {"byte 4", ""}, {"read", "read 0 0 *"},
      {"read", "read 1 0 4"}},
     {1, 0, 0, 4, -1}},
    {"OpenFaultFailsOpensUntilCleared",
     {{"fault open 19", ""}, {"open", "open -1 19"}, {"open", "open -1 19"}, {"fault open 0", ""},
      {"open", "open * 0"}},
     {1, 0, 0, 0, -1}},
    {"ReleaseAfterPollsEndsTheHoldAtTheGivenPoll",
     {{"open", "open * 0"}, {"press", ""}, {"after 2", ""}, {"ioctl 1", "ioctl 0 0 1"},
      {"ioctl 1", "ioctl 0 0 1"}, {"ioctl 1", "ioctl 0 0 0"}, {"read", "read 1 0 1"}},
     {1, 0, 3, 1, -1}},
};

// Works the emulation for a step; false when the step is a probe command.
bool Act(CrKeyEmu *emu, const std::string &cmd)
{
    static const char *const kFaults[] = {"open", "setpoll", "getsts", "read"};
    std::istringstream in(cmd);
    std::string op, what;
    int n = 0;
    in >> op;
    if (op == "press")
        return CrKeyEmuPress(emu);
    if (op == "release")
        return CrKeyEmuRelease(emu);
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

using Emu = std::unique_ptr<CrKeyEmu, decltype(&CrKeyEmuDestroy)>;

Emu NewEmu()
{
    std::string error;
    Emu emu(CrKeyEmuCreate(&error), CrKeyEmuDestroy);
    EXPECT_NE(emu, nullptr) << error;
    return emu;
}

TEST(CrKeyEmu, ServesADriverClient)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        Emu emu = NewEmu();
        ASSERT_NE(emu, nullptr);
        Child probe({KVO_PROBE_BIN});
        for (const Step &s : c.steps) {
            if (!Act(emu.get(), s.cmd)) {
                ASSERT_TRUE(probe.Write(s.cmd));
                std::string line = probe.Line();
                EXPECT_TRUE(Matches(line, s.expect)) << s.cmd << " -> " << line << ", not " << s.expect;
            }
        }
        CrKeyEmuStats got = CrKeyEmuGetStats(emu.get());
        EXPECT_EQ(got.opens, c.stats.opens);
        EXPECT_EQ(got.setPollCalls, c.stats.setPollCalls);
        EXPECT_EQ(got.getStsCalls, c.stats.getStsCalls);
        EXPECT_EQ(got.bytesSent, c.stats.bytesSent);
        EXPECT_EQ(got.lastPollTime, c.stats.lastPollTime);
    }
}

TEST(CrKeyEmu, DeliversEveryByteValueUnchangedOnePerRead)
{
    Emu emu = NewEmu();
    ASSERT_NE(emu, nullptr);
    Child probe({KVO_PROBE_BIN});
    ASSERT_TRUE(probe.Write("open"));
    ASSERT_TRUE(Matches(probe.Line(), "open * 0"));
    for (int b = 0; b < 256; ++b)
        ASSERT_TRUE(CrKeyEmuSendByte(emu.get(), static_cast<uint8_t>(b)));
    ASSERT_TRUE(probe.Write("read 256"));
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(probe.Line(), "read 1 0 " + std::to_string(b));
}

TEST(CrKeyEmuEnv, HandsTheEmulationToChildrenAndRestoresTheEnvironment)
{
    setenv("ASAN_OPTIONS", "detect_leaks=1", 1);
    setenv("LD_PRELOAD", "libother.so", 1);
    unsetenv("KVO_CRKEY_SOCKET");
    std::string error;
    CrKeyEmu *emu = CrKeyEmuCreate(&error);
    ASSERT_NE(emu, nullptr) << error;
    EXPECT_EQ(std::string(std::getenv("LD_PRELOAD")), std::string(KVO_PRELOAD) + ":libother.so");
    EXPECT_EQ(std::string(std::getenv("ASAN_OPTIONS")), "detect_leaks=1:verify_asan_link_order=0");
    std::string socket = std::getenv("KVO_CRKEY_SOCKET");
    CrKeyEmuDestroy(emu);

    EXPECT_EQ(std::getenv("KVO_CRKEY_SOCKET"), nullptr);
    EXPECT_EQ(std::string(std::getenv("ASAN_OPTIONS")), "detect_leaks=1");
    EXPECT_EQ(std::string(std::getenv("LD_PRELOAD")), "libother.so");
    EXPECT_NE(access(socket.substr(0, socket.rfind('/')).c_str(), F_OK), 0) << "left behind: " << socket;
    unsetenv("LD_PRELOAD");
}

// The wrapper for engineers: the program runs on the emulated device, and
// commands on standard input work the button while it runs.
TEST(CrKeyWrapper, RunsAProgramOnTheEmulationAndTakesCommands)
{
    Child tool({KVO_CRKEY_BIN, "--", KVO_PROBE_BIN, "open", "ioctl 2 40", "read", "ioctl 1", "read", "ioctl 1"});
    EXPECT_TRUE(Matches(tool.Line(), "open * 0"));
    EXPECT_EQ(tool.Line(), "ioctl 0 0 40");
    ASSERT_TRUE(tool.Write("press"));
    EXPECT_EQ(tool.Line(), "read 1 0 1");
    EXPECT_EQ(tool.Line(), "ioctl 0 0 1");
    ASSERT_TRUE(tool.Write("stats"));
    EXPECT_EQ(tool.Line(), "opens=1 setpoll=1 getsts=1 bytes=1 polltime=40");
    ASSERT_TRUE(tool.Write("fail getsts 16"));
    ASSERT_TRUE(tool.Write("byte 9"));
    EXPECT_EQ(tool.Line(), "read 1 0 9");
    EXPECT_EQ(tool.Line(), "ioctl -1 16 0");
    EXPECT_EQ(tool.Wait(), 0);

    Child quit({KVO_CRKEY_BIN, KVO_PROBE_BIN, "open", "read"});
    EXPECT_TRUE(Matches(quit.Line(), "open * 0"));
    ASSERT_TRUE(quit.Write("quit"));
    EXPECT_EQ(quit.Wait(), 128 + SIGTERM);
}

} // namespace
