// kvomsg monitor on a process that reads frames from its own FIFO in pieces
// and answers each on a peer FIFO, each answer through a new descriptor, to
// FifoSts and FifoEk in turn: every frame it reads and writes is printed,
// in order and under the right FIFO; frames on descriptors outside the FIFO
// folder are not; every frame still reaches its reader; and the process is
// let go, running, when the monitor is interrupted or the process ends.
// Host only: qemu-user cannot trace processes.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "kvoroot.h"
#include "kvomessaging.h"
#include "runtool.h"

namespace {

std::string Data(const std::string &head)
{
    std::string d(FIFO_MSG_DATA_SIZE, ' ');
    d.replace(0, head.size(), head);
    return d;
}

// Reads its FIFO 200 bytes at a time and answers every whole frame as
// module 52 with the same command and data, until command 900.  Each frame
// also goes to /dev/null and through a pipe of its own, which no monitor
// line may show.
[[noreturn]] void Echo(int ready)
{
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY); // where Yama allows only parents
    int own = open(KvoPath(KVO_PATH_FIFO_GDBT), O_RDWR);
    int null = open("/dev/null", O_WRONLY);
    int pipeFds[2];
    if (own < 0 || null < 0 || pipe(pipeFds) != 0)
        _exit(2);
    close(ready);
    std::string got;
    char buf[200];
    for (int answered = 0;;) {
        ssize_t n = read(own, buf, sizeof buf);
        if (n <= 0)
            _exit(3);
        got.append(buf, static_cast<size_t>(n));
        while (got.size() >= FIFO_MSG_SIZE) {
            std::string frame = got.substr(0, FIFO_MSG_SIZE);
            got.erase(0, FIFO_MSG_SIZE);
            if (frame.compare(3, 3, "900") == 0)
                _exit(0);
            if (write(null, frame.data(), frame.size()) < 0 ||
                write(pipeFds[1], frame.data(), frame.size()) < 0 ||
                read(pipeFds[0], buf, sizeof buf) < 0)
                _exit(4);
            KvoPathId to = answered++ % 2 == 0 ? KVO_PATH_FIFO_STS : KVO_PATH_FIFO_EK;
            ComFIFOPutData2(KvoPath(to), 52, std::atoi(frame.substr(3, 3).c_str()), frame.c_str() + 6);
        }
    }
}

pid_t StartEcho()
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        Echo(ready[1]);
    }
    close(ready[1]);
    char c;
    static_cast<void>(!read(ready[0], &c, 1)); // returns once the child holds its FIFO
    close(ready[0]);
    return pid;
}

// Waits up to five seconds for a whole frame on a FIFO held read-write.
std::string NextFrame(int fd)
{
    std::string frame;
    char buf[FIFO_MSG_SIZE];
    while (frame.size() < FIFO_MSG_SIZE) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        ssize_t n = read(fd, buf, FIFO_MSG_SIZE - frame.size());
        if (n <= 0)
            break;
        frame.append(buf, static_cast<size_t>(n));
    }
    return frame;
}

std::string Status(pid_t pid, const std::string &field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    return "";
}

// The monitor's lines without their time of day.
std::vector<std::string> Untimed(const std::string &out)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at + 13, nl - at - 13)); // "08:13:33.123 "
    return lines;
}

struct Sent {
    int mid;
    int cid;
    std::string head;
    const char *read;    // as printed for the frame the echo process reads
    const char *written; // and for its answer
};

const Sent kSent[] = {
    {80, 410, std::string("  \x01", 3), "kvosts(80) 410 IO answer (loop signal), loop state 1",
     "kvogdbt(52) 410 IO answer (loop signal), loop state 1"},
    {71, 412, "\x02", "kvopare(71) 412 guard answer (parent mode), answer 2 (loop signal off)",
     "kvogdbt(52) 412 guard answer (parent mode), answer 2 (loop signal off)"},
    {80, 901, "", "kvosts(80) 901 alive request", "kvogdbt(52) 901 alive request"},
};

TEST(KvomsgMonitor, PrintsEveryFrameAndTakesNone)
{
    const struct {
        bool registers; // the register table instead of the kernel's syscall information
        bool interrupt; // Ctrl-C before the process ends
    } cases[] = {{false, false}, {true, true}};
    for (const auto &c : cases) {
        KvoRoot root;
        ASSERT_TRUE(root.MakeAllFifos());
        int sts = open(KvoPath(KVO_PATH_FIFO_STS), O_RDWR | O_NONBLOCK);
        int ek = open(KvoPath(KVO_PATH_FIFO_EK), O_RDWR | O_NONBLOCK);
        pid_t echo = StartEcho();
        ASSERT_GT(echo, 0);
        std::string label = "pid " + std::to_string(echo) + " (tools_tests)";
        std::string dir;
        char real[PATH_MAX];
        if (realpath(KvoPath(KVO_PATH_FIFO_DIR), real) != nullptr)
            dir = real;
        // The child was forked, not started, under the test's KVO_ROOT.
        std::string note = "kvomsg: note: " + label + " was started without KVO_ROOT, this monitor runs with KVO_ROOT=" +
                           root.Dir() + ": its FIFOs may be elsewhere\n";
        std::vector<std::string> argv = {KVOMSG_PATH, "monitor", "--pid", std::to_string(echo)};
        if (c.registers)
            argv.push_back("--registers");
        ToolProc mon = StartTool(argv);
        if (!WaitForErrLine(&mon, "kvomsg: monitoring")) {
            kill(echo, SIGKILL);
            waitpid(echo, nullptr, 0);
            ToolRun r = FinishTool(&mon);
            if (r.err.find("cannot monitor") != std::string::npos)
                GTEST_SKIP() << "tracing is not permitted here: " << r.err;
            FAIL() << r.err;
        }
        if (!c.interrupt) {
            ToolRun second = RunTool(argv, "", true);
            EXPECT_EQ(second.status, 1);
            EXPECT_EQ(second.err, note + "kvomsg: cannot monitor " + label + ": it is traced already, by pid " +
                                      std::to_string(mon.pid) + " (kvomsg)\n");
        }

        std::vector<std::string> want;
        int n = 0;
        for (const Sent &s : kSent) {
            ASSERT_EQ(ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_GDBT), s.mid, s.cid, Data(s.head).c_str()), 0);
            bool toSts = n++ % 2 == 0;
            // Each answer arrives, whole and unchanged, before the next frame goes.
            char id[8];
            std::snprintf(id, sizeof id, "052%03d", s.cid);
            EXPECT_EQ(NextFrame(toSts ? sts : ek), id + Data(s.head)) << s.cid;
            want.push_back(std::string("FifoGdbt ") + s.read + " (tools_tests " + std::to_string(echo) +
                           " read 56 bytes)");
            want.push_back(std::string(toSts ? "FifoSts " : "FifoEk ") + s.written + " (tools_tests " +
                           std::to_string(echo) + " wrote 256 bytes)");
        }
        std::string wantErr = note + "kvomsg: monitoring " + label + " on " + dir + "/ (Ctrl-C to stop)\n";
        ToolRun run;
        if (c.interrupt) {
            kill(mon.pid, SIGINT);
            run = FinishTool(&mon);
            wantErr += "kvomsg: detached from " + label + "\n";
            EXPECT_EQ(Status(echo, "TracerPid"), "0");
            std::string state = Status(echo, "State");
            EXPECT_TRUE(state[0] != 't' && state[0] != 'T') << "left stopped: " << state;
            // Still serving, untraced.
            ASSERT_EQ(ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_GDBT), 80, 901, Data("").c_str()), 0);
            EXPECT_EQ(NextFrame(ek), "052901" + Data(""));
        }
        ASSERT_EQ(ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_GDBT), 80, 900, Data(std::string(1, '\0')).c_str()), 0);
        int st = -1;
        waitpid(echo, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
        if (!c.interrupt) {
            run = FinishTool(&mon);
            want.push_back("FifoGdbt kvosts(80) 900 terminate, order 0 (tools_tests " + std::to_string(echo) +
                           " read 56 bytes)");
            wantErr += "kvomsg: " + label + " ended (exit status 0)\n";
        }
        EXPECT_EQ(run.status, 0) << c.registers;
        EXPECT_EQ(run.err, wantErr);
        EXPECT_EQ(Untimed(run.out), want) << run.out;
        close(sts);
        close(ek);
    }
}

} // namespace
