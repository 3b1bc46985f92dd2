// kvosoak: the real service on the simulated board (parent mode) under commands from several
// writer processes while the button is held again and again.  Checks, and prints as JSON: each
// 901 answered by one 621, each press by one 356 and each hold by one 563, nothing else and no
// partial frame; descriptors and resident memory not growing from the first to the last quarter;
// the guard state at the end (412 loop off gives one display message, a second none); 900: 605, exit 0.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "board/board.h"
#include "crkeyemu.h"

using namespace kvoboard;

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 5 || argv[1][0] == '-')
        return std::fprintf(stderr, "usage: kvosoak SERVICE [FRAMES [HOLDS [WRITERS]]]  (5000, 5, 4)\n"), 2;
    const long frames = argc > 2 ? std::atol(argv[2]) : 5000;
    const int holds = argc > 3 ? std::atoi(argv[3]) : 5, writers = std::max(1, argc > 4 ? std::atoi(argv[4]) : 4);
    Board b;
    Launch launch;
    BoardSetup setup;
    launch.service = setup.service = argv[1];
    std::string error;
    bool ok = b.Create(setup, &error);
    if (ok)
        b.SetGuardButton('1'), b.SetParentMode(1); // the auth flag plays no part in parent mode
    if (!ok || !b.Start(launch, &error) || b.AwaitStartup(10000) != 0)
        return std::fprintf(stderr, "kvosoak: %s\n", error.c_str()), 2;
    std::string problems;
    auto want = [&](bool held, const std::string &what) { problems += held ? "" : ",\"" + what + "\""; };
    // Writers, each its share of the frames over the run: three of four 901, the fourth 413 on.
    long long t0 = NowNs(), spanNs = std::max(5000LL, holds * 3600LL) * 1000000;
    auto f901 = EncodeFrame(MakeFrame(MODID_STS, CMDID_ALIVE_REQ));
    auto f413 = EncodeFrame(MakeFrame(MODID_STS, CMDID_GDBT_FUNC, {1}));
    std::string path = b.Path(KVO_PATH_FIFO_GDBT);
    std::vector<pid_t> pids;
    long sent901 = 1; // and the last 901, after the writers
    for (int w = 0; w < writers; ++w) {
        long share = frames / writers + (w < frames % writers ? 1 : 0);
        sent901 += share - share / 4;
        auto gapUs = static_cast<useconds_t>(share > 0 ? spanNs / share / 1000 : 0);
        if (pid_t pid = fork(); pid != 0) {
            pids.push_back(pid);
            continue;
        }
        int fd = open(path.c_str(), O_WRONLY);
        for (long i = 0; fd >= 0 && i < share; ++i, usleep(gapUs))
            if (write(fd, (i % 4 == 3 ? f413 : f901).data(), FIFO_MSG_SIZE) != FIFO_MSG_SIZE)
                _exit(4);
        _exit(fd >= 0 ? 0 : 3);
    }
    // Each hold one guard request, answered 0; the last, after the writers, 2 (loop signal off).
    std::vector<long> fds, rss;
    for (int h = 0; h <= holds; ++h) {
        if (h == holds) {
            for (pid_t pid : pids) {
                int st = 0;
                while (waitpid(pid, &st, WNOHANG) == 0)
                    b.Collect(50);
                want(WIFEXITED(st) && WEXITSTATUS(st) == 0, "writer failed");
            }
            b.WaitCount(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, static_cast<size_t>(sent901) - 1, 30000);
            b.Pump(500); // late duplicates would arrive now
        }
        fds.push_back(FdCount(b.Pid()));
        rss.push_back(ProcField(b.Pid(), "status", "VmRSS:"));
        CrKeyEmuPress(b.Device());
        want(b.WaitCount(KVO_PATH_FIFO_PARE, CMDID_GUARD_REQ, static_cast<size_t>(h + 1), 10000),
             "hold " + std::to_string(h + 1) + " gave no guard request 563");
        CrKeyEmuRelease(b.Device());
        b.Send(MakeFrame(MODID_PARE, CMDID_PARE_GUARD_ANS, {static_cast<uint8_t>(h == holds ? 2 : 0)}));
        b.Pump(300);
    }
    // The guard state went back: a second loop-off answer shows nothing.
    b.Send(MakeFrame(MODID_PARE, CMDID_PARE_GUARD_ANS, {2}));
    b.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ));
    b.WaitCount(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, static_cast<size_t>(sent901), 3000);
    int status = b.Stop(10000);
    size_t n621 = b.Count(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS), disp = b.Count(KVO_PATH_FIFO_DISP, CMDID_DISP_MSG);
    size_t n356 = b.Count(KVO_PATH_FIFO_PARE, CMDID_GDBT_PRESS), n563 = b.Count(KVO_PATH_FIFO_PARE, CMDID_GUARD_REQ);
    size_t n605 = b.Count(KVO_PATH_FIFO_STS, CMDID_TERM_COMP);
    want(n621 == static_cast<size_t>(sent901), "not every 901 answered by one 621");
    want(n356 == static_cast<size_t>(holds) + 1 && n563 == n356, "not every press answered by one 356 and 563");
    want(disp == 1, "not one display message at the end, after the loop signal went off twice");
    want(n605 == 1 && status == 0, "no termination report 605 and exit status 0");
    // Anything else (the start-up 600 aside), from another sender, or partial.
    long other = static_cast<long>(b.Arrivals().size() - n621 - disp - n356 - n563 - n605) - 1;
    for (const Arrival &a : b.Arrivals())
        other += a.frame.mid != MODID_GDBT || a.frame.size != FIFO_MSG_SIZE;
    want(other == 0, "unexpected or partial frames");
    // Growth: the floor of the first quarter of the samples against the last's (a leak raises it).
    size_t q = std::max<size_t>(1, fds.size() / 4);
    long fd0 = *std::min_element(fds.begin(), fds.begin() + q), fd1 = *std::min_element(fds.end() - q, fds.end());
    long rss0 = *std::min_element(rss.begin(), rss.begin() + q), rss1 = *std::min_element(rss.end() - q, rss.end());
    want(fd1 <= fd0, "descriptors grew");
    want(rss1 <= rss0 + 256, "resident memory grew by more than 256 kB");
    std::printf("{\"frames\":%ld,\"writers\":%d,\"holds\":%d,\"sent_901\":%ld,\"got_621\":%zu,\"got_356\":%zu,"
                "\"got_563\":%zu,\"display\":%zu,\"got_605\":%zu,\"unexpected\":%ld,\"fd_first\":%ld,\"fd_last\":%ld,"
                "\"rss_first_kb\":%ld,\"rss_last_kb\":%ld,\"exit_status\":%d,\"seconds\":%lld,\"problems\":[%s]}\n",
                frames, writers, holds, sent901, n621, n356, n563, disp, n605, other, fd0, fd1, rss0, rss1,
                status, (NowNs() - t0) / 1000000000, problems.empty() ? "" : problems.c_str() + 1);
    return problems.empty() ? 0 : 1;
}
