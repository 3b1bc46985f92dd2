// The guard-button device emulation, seen from a child process as a driver
// client sees it: the two requests, the event bytes, the faults, the
// environment it hands on, and the kvocrkey wrapper.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "crkeyemu.h"

namespace {

constexpr int kWaitMs = 10000;

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
        pid_ = fork();
        if (pid_ == 0) {
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
        if (in_ >= 0)
            close(in_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    bool Write(const std::string &line)
    {
        std::string l = line + "\n";
        return write(in_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    }
    // The next output line, or "(timeout)" / "(eof)".
    std::string Line()
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        for (;;) {
            size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return l;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return "(timeout)";
            char c[256];
            ssize_t n = read(out_, c, sizeof c);
            if (n <= 0)
                return "(eof)";
            buf_.append(c, static_cast<size_t>(n));
        }
    }
    std::string Do(const std::string &cmd) { return Write(cmd) ? Line() : "(write failed)"; }
    // Exit code, 128 + signal, or -1 when it did not end in time.
    int Wait()
    {
        for (int i = 0; i < kWaitMs / 10; ++i) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buf_;
};

class CrKeyEmuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        emu_ = CrKeyEmuCreate(&error);
        ASSERT_NE(emu_, nullptr) << error;
    }
    void TearDown() override { CrKeyEmuDestroy(emu_); }

    CrKeyEmu *emu_ = nullptr;
};

Child Probe() { return Child({KVO_PROBE_BIN}); }

TEST_F(CrKeyEmuTest, AnswersTheDriverRequestsAndCountsThem)
{
    Child probe = Probe();
    EXPECT_EQ(probe.Do("open").rfind("open ", 0), 0u);
    EXPECT_EQ(probe.Do("ioctl 2 40"), "ioctl 0 0 40");
    EXPECT_EQ(probe.Do("ioctl 1 7"), "ioctl 0 0 0"); // released, and the byte is filled
    ASSERT_TRUE(CrKeyEmuPress(emu_));
    EXPECT_EQ(probe.Do("read"), "read 1 0 1");
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl 0 0 1");
    ASSERT_TRUE(CrKeyEmuRelease(emu_));
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl 0 0 0");
    EXPECT_EQ(probe.Do("ioctl 7"), "ioctl -1 25 0"); // ENOTTY for a request the driver lacks

    CrKeyEmuStats s = CrKeyEmuGetStats(emu_);
    EXPECT_EQ(s.opens, 1u);
    EXPECT_EQ(s.setPollCalls, 1u);
    EXPECT_EQ(s.lastPollTime, 40);
    EXPECT_EQ(s.getStsCalls, 3u);
    EXPECT_EQ(s.bytesSent, 1u);
}

TEST_F(CrKeyEmuTest, DeliversEveryByteValueUnchangedOnePerRead)
{
    Child probe = Probe();
    ASSERT_EQ(probe.Do("open").rfind("open ", 0), 0u);
    for (int b = 0; b < 256; ++b)
        ASSERT_TRUE(CrKeyEmuSendByte(emu_, static_cast<uint8_t>(b)));
    ASSERT_TRUE(probe.Write("read 256"));
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(probe.Line(), "read 1 0 " + std::to_string(b));
    EXPECT_EQ(CrKeyEmuGetStats(emu_).bytesSent, 256u);
    EXPECT_EQ(CrKeyEmuGetStats(emu_).getStsCalls, 0u); // sending a byte is no key state
}

TEST_F(CrKeyEmuTest, RequestFaultsFailUntilCleared)
{
    Child probe = Probe();
    ASSERT_EQ(probe.Do("open").rfind("open ", 0), 0u);
    CrKeyEmuSetFault(emu_, CrKeyFault::SetPollTime, EIO);
    CrKeyEmuSetFault(emu_, CrKeyFault::GetKeyState, EBUSY);
    EXPECT_EQ(probe.Do("ioctl 2 40"), "ioctl -1 5 40");
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl -1 16 0");
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl -1 16 0");
    EXPECT_EQ(CrKeyEmuGetStats(emu_).lastPollTime, -1); // a failed request sets nothing
    CrKeyEmuSetFault(emu_, CrKeyFault::SetPollTime, 0);
    CrKeyEmuSetFault(emu_, CrKeyFault::GetKeyState, 0);
    ASSERT_TRUE(CrKeyEmuPress(emu_));
    EXPECT_EQ(probe.Do("ioctl 2 40"), "ioctl 0 0 40");
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl 0 0 1");
    CrKeyEmuStats s = CrKeyEmuGetStats(emu_);
    EXPECT_EQ(s.setPollCalls, 2u);
    EXPECT_EQ(s.getStsCalls, 3u);
}

// A read fault applies to the next read begun after it is set; the failing
// read takes its byte with it, so the device does not stay readable.
TEST_F(CrKeyEmuTest, ReadFaultFailsOneReadAndTakesItsByte)
{
    Child probe = Probe();
    ASSERT_EQ(probe.Do("open").rfind("open ", 0), 0u);
    CrKeyEmuSetFault(emu_, CrKeyFault::Read, EIO);
    ASSERT_TRUE(CrKeyEmuSendByte(emu_, 1));
    ASSERT_TRUE(CrKeyEmuSendByte(emu_, 2));
    EXPECT_EQ(probe.Do("read").substr(0, 10), "read -1 5 ");
    EXPECT_EQ(probe.Do("read"), "read 1 0 2");

    CrKeyEmuSetFault(emu_, CrKeyFault::Read, -1);
    ASSERT_TRUE(CrKeyEmuSendByte(emu_, 3));
    ASSERT_TRUE(CrKeyEmuSendByte(emu_, 4));
    EXPECT_EQ(probe.Do("read").substr(0, 9), "read 0 0 ");
    EXPECT_EQ(probe.Do("read"), "read 1 0 4");
}

TEST_F(CrKeyEmuTest, OpenFaultFailsOpensUntilCleared)
{
    CrKeyEmuSetFault(emu_, CrKeyFault::Open, ENODEV);
    {
        Child probe = Probe();
        EXPECT_EQ(probe.Do("open"), "open -1 19");
        EXPECT_EQ(probe.Do("open"), "open -1 19");
        CrKeyEmuSetFault(emu_, CrKeyFault::Open, 0);
        EXPECT_EQ(probe.Do("open").rfind("open -1", 0), std::string::npos);
    }
    EXPECT_EQ(CrKeyEmuGetStats(emu_).opens, 1u);
}

TEST_F(CrKeyEmuTest, ReleaseAfterPollsEndsTheHoldAtTheGivenPoll)
{
    Child probe = Probe();
    ASSERT_EQ(probe.Do("open").rfind("open ", 0), 0u);
    ASSERT_TRUE(CrKeyEmuPress(emu_));
    CrKeyEmuReleaseAfterPolls(emu_, 2);
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl 0 0 1");
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl 0 0 1");
    EXPECT_EQ(probe.Do("ioctl 1"), "ioctl 0 0 0");
    EXPECT_EQ(probe.Do("read"), "read 1 0 1"); // the press byte itself is untouched
}

TEST(CrKeyEmuEnv, HandsTheEmulationToChildrenAndRestoresTheEnvironment)
{
    setenv("ASAN_OPTIONS", "detect_leaks=1", 1);
    unsetenv("UMOCKDEV_DIR");
    const char *preload = std::getenv("LD_PRELOAD");
    std::string oldPreload = preload != nullptr ? preload : "";
    bool hadPreload = preload != nullptr;

    std::string error;
    CrKeyEmu *emu = CrKeyEmuCreate(&error);
    ASSERT_NE(emu, nullptr) << error;
    EXPECT_NE(std::string(std::getenv("LD_PRELOAD")).find("libumockdev-preload.so"), std::string::npos);
    ASSERT_NE(std::getenv("UMOCKDEV_DIR"), nullptr);
    EXPECT_EQ(std::string(std::getenv("ASAN_OPTIONS")), "detect_leaks=1:verify_asan_link_order=0");
    std::string dir = std::getenv("UMOCKDEV_DIR");
    CrKeyEmuDestroy(emu);

    EXPECT_EQ(std::getenv("UMOCKDEV_DIR"), nullptr);
    EXPECT_EQ(std::string(std::getenv("ASAN_OPTIONS")), "detect_leaks=1");
    EXPECT_EQ(std::getenv("LD_PRELOAD") != nullptr, hadPreload);
    if (hadPreload) {
        EXPECT_EQ(std::string(std::getenv("LD_PRELOAD")), oldPreload);
    }
    EXPECT_NE(access(dir.c_str(), F_OK), 0) << "emulation folder left behind: " << dir;
}

// The wrapper for engineers: the program runs on the emulated device, and
// commands on standard input work the button while it runs.
TEST(CrKeyWrapper, RunsAProgramOnTheEmulationAndTakesCommands)
{
    Child tool({KVO_CRKEY_BIN, "--", KVO_PROBE_BIN, "open", "ioctl 2 40", "ioctl 1", "read", "ioctl 1",
                "read", "ioctl 1"});
    EXPECT_EQ(tool.Line().rfind("open ", 0), 0u);
    EXPECT_EQ(tool.Line(), "ioctl 0 0 40");
    EXPECT_EQ(tool.Line(), "ioctl 0 0 0");
    ASSERT_TRUE(tool.Write("press"));
    EXPECT_EQ(tool.Line(), "read 1 0 1");
    EXPECT_EQ(tool.Line(), "ioctl 0 0 1");
    // The probe now waits in its last read.
    EXPECT_EQ(tool.Do("stats"), "opens=1 setpoll=1 getsts=2 bytes=1 polltime=40");
    ASSERT_TRUE(tool.Write("fail getsts 16"));
    ASSERT_TRUE(tool.Write("byte 9"));
    EXPECT_EQ(tool.Line(), "read 1 0 9");
    EXPECT_EQ(tool.Line(), "ioctl -1 16 0");
    EXPECT_EQ(tool.Wait(), 0); // the probe's script ended
}

TEST(CrKeyWrapper, QuitStopsTheProgram)
{
    Child tool({KVO_CRKEY_BIN, KVO_PROBE_BIN, "open", "read"});
    EXPECT_EQ(tool.Line().rfind("open ", 0), 0u);
    ASSERT_TRUE(tool.Write("quit"));
    EXPECT_EQ(tool.Wait(), 128 + SIGTERM);
}

} // namespace
