// kvomsg monitor (host only: qemu-user cannot trace) on a process that reads
// frames from its own FIFO in pieces and answers each on FifoSts and FifoEk
// in turn, each answer through a new descriptor: every frame it reads and
// writes is printed in order under the right FIFO, none on descriptors
// outside the FIFO folder; every frame still reaches its reader.  The
// monitor on the real service to its end is tools.monitor_board's.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kvoroot.h"
#include "runtool.h"

namespace {

// Reads its FIFO 200 bytes at a time and answers every whole frame as module
// 52 with the same command and data, until 900; each frame also goes to
// /dev/null and through a pipe of its own, which no monitor line may show.
pid_t StartEcho()
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid != 0) {
        close(ready[1]);
        char c;
        (void)!read(ready[0], &c, 1); // returns once the child holds its FIFO
        close(ready[0]);
        return pid;
    }
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY); // where Yama allows only parents
    int own = open(KvoPath(KVO_PATH_FIFO_GDBT), O_RDWR), null = open("/dev/null", O_WRONLY), p[2];
    if (own < 0 || null < 0 || pipe(p) != 0)
        _exit(2);
    close(ready[1]);
    std::string got;
    char buf[200];
    for (int answered = 0;;) {
        ssize_t n = read(own, buf, sizeof buf);
        if (n <= 0)
            _exit(3);
        got.append(buf, static_cast<size_t>(n));
        for (; got.size() >= FIFO_MSG_SIZE; got.erase(0, FIFO_MSG_SIZE)) {
            if (got.compare(3, 3, "900") == 0)
                _exit(0);
            if (write(null, got.data(), FIFO_MSG_SIZE) < 0 || write(p[1], got.data(), FIFO_MSG_SIZE) < 0 ||
                read(p[0], buf, sizeof buf) < 0)
                _exit(4);
            KvoPathId to = answered++ % 2 == 0 ? KVO_PATH_FIFO_STS : KVO_PATH_FIFO_EK;
            ComFIFOPutData2(KvoPath(to), 52, std::atoi(got.substr(3, 3).c_str()), got.c_str() + 6);
        }
    }
}

std::string NextFrame(int fd) // up to five seconds for a whole one
{
    std::string frame;
    char buf[FIFO_MSG_SIZE];
    for (pollfd p = {fd, POLLIN, 0}; frame.size() < FIFO_MSG_SIZE && poll(&p, 1, 5000) > 0;) {
        ssize_t n = read(fd, buf, FIFO_MSG_SIZE - frame.size());
        frame.append(buf, static_cast<size_t>(n > 0 ? n : 0));
    }
    return frame;
}

std::string Status(pid_t pid, const std::string &field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    return "";
}

std::vector<std::string> Untimed(const std::string &out) // without "08:13:33.123 "
{
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at + 13, nl - at - 13));
    return lines;
}

// With --registers (the way for kernels before 5.3); a second monitor is
// refused; Ctrl-C detaches and leaves the process running, untraced.
TEST(KvomsgMonitor, PrintsEveryFrameAndTakesNone)
{
    const struct {
        int cid;
        std::string head;
        const char *what; // as printed, after the sender
    } sent[] = {{410, std::string("  \x01", 3), "410 IO answer (loop signal), loop state 1"},
                {412, "\x02", "412 guard answer (parent mode), answer 2 (loop signal off)"},
                {901, "", "901 alive request"}};
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    HeldFifo sts(KVO_PATH_FIFO_STS), ek(KVO_PATH_FIFO_EK);
    pid_t echo = StartEcho();
    ASSERT_GT(echo, 0);
    const std::string label = "pid " + std::to_string(echo) + " (tools_tests)", by = " (tools_tests " + std::to_string(echo);
    char dir[PATH_MAX] = "";
    EXPECT_NE(nullptr, realpath(KvoPath(KVO_PATH_FIFO_DIR), dir));
    // The child was forked, not started, under the test's KVO_ROOT.
    std::string wantErr = "kvomsg: note: " + label + " was started without KVO_ROOT, this monitor runs with "
                          "KVO_ROOT=" + root.Dir() + ": its FIFOs may be elsewhere\n";
    const std::vector<std::string> argv = {KVOMSG_PATH, "monitor", "--pid", std::to_string(echo), "--registers"};
    ToolRun mon = StartTool(argv);
    if (!WaitForErr(&mon, "kvomsg: monitoring")) {
        kill(echo, SIGKILL);
        waitpid(echo, nullptr, 0);
        if (FinishTool(&mon).err.find("cannot monitor") != std::string::npos)
            GTEST_SKIP() << "tracing is not permitted here: " << mon.err;
        FAIL() << mon.err;
    }
    EXPECT_EQ(wantErr + "kvomsg: cannot monitor " + label + ": it is traced already, by pid " +
                  std::to_string(mon.pid) + " (kvomsg)\n",
              RunTool(argv).err);
    wantErr += "kvomsg: monitoring " + label + " on " + dir + "/ (Ctrl-C to stop)\nkvomsg: detached from " + label + "\n";
    std::vector<std::string> want;
    for (size_t i = 0; i < 3; ++i) {
        const auto &s = sent[i];
        ASSERT_EQ(0, ComFIFOPutData2(FIFO_NAME_GDBT, i == 1 ? 71 : 80, s.cid, Data(s.head).c_str()));
        EXPECT_EQ("052" + std::to_string(s.cid) + Data(s.head), NextFrame(i == 1 ? ek.fd : sts.fd)) << s.cid;
        want.push_back(std::string("FifoGdbt ") + (i == 1 ? "kvopare(71) " : "kvosts(80) ") + s.what + by +
                       " read 56 bytes)");
        want.push_back(std::string(i == 1 ? "FifoEk" : "FifoSts") + " kvogdbt(52) " + s.what + by + " wrote 256 bytes)");
    }
    kill(mon.pid, SIGINT);
    FinishTool(&mon);
    EXPECT_EQ("0", Status(echo, "TracerPid"));
    EXPECT_EQ(std::string::npos, Status(echo, "State").find_first_of("tT")) << "left stopped";
    ASSERT_EQ(0, ComFIFOPutData2(FIFO_NAME_GDBT, 80, 901, Data("").c_str())); // still serving, untraced
    EXPECT_EQ("052901" + Data(""), NextFrame(ek.fd));
    ASSERT_EQ(0, ComFIFOPutData2(FIFO_NAME_GDBT, 80, 900, Data(std::string(1, '\0')).c_str()));
    int st = -1;
    waitpid(echo, &st, 0);
    EXPECT_EQ(0, st);
    EXPECT_EQ(0, mon.status);
    EXPECT_EQ(wantErr, mon.err);
    EXPECT_EQ(want, Untimed(mon.out)) << mon.out;
}

} // namespace
