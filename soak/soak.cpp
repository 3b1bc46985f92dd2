// soak.cpp - kvosoak: the real service on the simulated board under a long
// stream of commands from several writer processes at once while the guard
// button is held again and again (parent mode).  Checks, and prints as JSON:
//  - every 901 answered by exactly one 621, every press by one 356, every
//    hold by one guard request 563; nothing else and no partial frame;
//  - descriptors and resident memory do not grow between the first and the
//    last quarter of the run;
//  - the guard state at the end: a last hold, then 412 with loop signal off
//    gives one display message, and a second 412 none (the state went back);
//  - 900 ends the service with the termination report and exit status 0.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <map>
#include <thread>

#include "board/board.h"
#include "crkeyemu.h"

using namespace kvoboard;

namespace {

// One writer process: its share of the frames, paced over the run, three of
// four 901 and the fourth 413 with function on.  Async-signal-safe calls only.
[[noreturn]] void Writer(const char *path, const uint8_t *f901, const uint8_t *f413, long count, long long gapNs,
                         long *sent901)
{
    int fd = open(path, O_WRONLY);
    long n901 = 0;
    for (long i = 0; fd >= 0 && i < count; ++i) {
        const uint8_t *f = i % 4 == 3 ? f413 : f901;
        if (write(fd, f, FIFO_MSG_SIZE) != FIFO_MSG_SIZE)
            _exit(4);
        n901 += f == f901;
        struct timespec ts = {static_cast<time_t>(gapNs / 1000000000), static_cast<long>(gapNs % 1000000000)};
        nanosleep(&ts, nullptr);
    }
    *sent901 = n901;
    _exit(fd >= 0 ? 0 : 3);
}

} // namespace

int main(int argc, char **argv)
{
    std::map<std::string, std::string> opt = {{"frames", "5000"}, {"holds", "5"}, {"writers", "4"}, {"out", ""}};
    for (int i = 1; i + 1 < argc && argv[i][0] == '-'; i += 2)
        opt[argv[i] + 2] = argv[i + 1];
    const long frames = std::atol(opt["frames"].c_str());
    const int holds = std::atoi(opt["holds"].c_str()), writers = std::max(1, std::atoi(opt["writers"].c_str()));
    Board b;
    std::string error = opt["service"].empty() ? "usage: kvosoak --service PATH [--frames N] [--holds N] "
                                                 "[--writers N] [--out F]" : "";
    Launch launch;
    launch.service = opt["service"];
    BoardSetup setup;
    setup.service = launch.service;
    if (error.empty() && b.Create(setup, &error)) {
        b.SetGuardButton('1');
        b.SetAuthFlag('0');
        b.SetParentMode(1);
        if (!b.Start(launch, &error) || b.AwaitStartup(10000) != 0)
            error = "kvosoak: no start-up report " + error;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    std::vector<std::string> problems;
    auto want = [&](bool ok, const std::string &what) {
        if (!ok)
            problems.push_back(what);
    };
    long long t0 = NowNs(), spanNs = std::max(5000LL, holds * 3600LL) * 1000000;
    auto *sent901 = static_cast<long *>(mmap(nullptr, sizeof(long) * static_cast<size_t>(writers),
                                             PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    auto f901 = EncodeFrame(MakeFrame(MODID_STS, CMDID_ALIVE_REQ));
    auto f413 = EncodeFrame(MakeFrame(MODID_STS, CMDID_GDBT_FUNC, {1}));
    std::string path = b.Path(KVO_PATH_FIFO_GDBT);
    std::vector<pid_t> pids;
    for (int w = 0; w < writers; ++w) {
        long share = frames / writers + (w < frames % writers ? 1 : 0);
        sent901[w] = -1;
        pid_t pid = fork();
        if (pid == 0)
            Writer(path.c_str(), f901.data(), f413.data(), share, share > 0 ? spanNs / share : 0, &sent901[w]);
        pids.push_back(pid);
    }
    struct Sample {
        int fds;
        long rssKb;
    };
    std::vector<Sample> samples;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        for (; sampling; usleep(500000))
            samples.push_back({FdCount(b.Pid()), ProcField(b.Pid(), "status", "VmRSS:")});
    });

    int seen[2] = {0, 0}, presses = 0; // holds that gave a guard request: before the last, the last
    for (int h = 0; h <= holds; ++h) {
        if (h == holds) { // the last hold waits for the writers and their answers
            long total = 0;
            for (size_t w = 0; w < pids.size(); ++w) {
                int st = 0;
                while (waitpid(pids[w], &st, WNOHANG) == 0)
                    b.Collect(50);
                want(WIFEXITED(st) && WEXITSTATUS(st) == 0 && sent901[w] >= 0, "writer failed");
                total += std::max(0L, sent901[w]);
            }
            b.WaitCount(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, static_cast<size_t>(total), 30000);
            b.Pump(500); // late duplicates would arrive now
            sent901[0] = total;
            sampling = false;
            sampler.join();
        }
        CrKeyEmuPress(b.Device());
        ++presses;
        bool got = b.WaitCount(KVO_PATH_FIFO_PARE, CMDID_GUARD_REQ, static_cast<size_t>(seen[0] + seen[1] + 1), 10000);
        CrKeyEmuRelease(b.Device());
        seen[h == holds] += got;
        want(got, "hold " + std::to_string(h + 1) + " gave no guard request");
        b.Send(MakeFrame(MODID_PARE, CMDID_PARE_GUARD_ANS, {static_cast<uint8_t>(h == holds ? 2 : 0)}));
        b.Pump(300);
    }
    long total901 = sent901[0];
    size_t got621 = b.Count(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS);
    want(got621 == static_cast<size_t>(total901), "901 sent " + std::to_string(total901) + ", 621 received " +
                                                      std::to_string(got621));
    // The guard state went back: a second loop-off answer shows nothing.
    b.Send(MakeFrame(MODID_PARE, CMDID_PARE_GUARD_ANS, {2}));
    b.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ));
    b.WaitCount(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, got621 + 1, 3000);
    size_t disp = b.Count(KVO_PATH_FIFO_DISP, CMDID_DISP_MSG);
    want(disp == 1, "guard state at the end: display messages " + std::to_string(disp) + " (want 1)");
    int status = b.Stop(10000);
    size_t term = b.Count(KVO_PATH_FIFO_STS, CMDID_TERM_COMP);
    want(term == 1 && status == 0, "termination: report " + std::to_string(term) + ", exit " + std::to_string(status));

    size_t press356 = b.Count(KVO_PATH_FIFO_PARE, CMDID_GDBT_PRESS);
    size_t req563 = b.Count(KVO_PATH_FIFO_PARE, CMDID_GUARD_REQ);
    want(press356 == static_cast<size_t>(presses), "presses " + std::to_string(presses) + ", 356 received " +
                                                       std::to_string(press356));
    want(req563 == static_cast<size_t>(seen[0] + seen[1]), "563 received " + std::to_string(req563));
    const std::pair<KvoPathId, int> known[] = {
        {KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS},   {KVO_PATH_FIFO_STS, CMDID_TERM_COMP},
        {KVO_PATH_FIFO_STSP, CMDID_WAKEUP_COMP}, {KVO_PATH_FIFO_PARE, CMDID_GDBT_PRESS},
        {KVO_PATH_FIFO_PARE, CMDID_GUARD_REQ},  {KVO_PATH_FIFO_DISP, CMDID_DISP_MSG}};
    size_t other = 0;
    for (const Arrival &a : b.Arrivals())
        other += a.frame.mid != MODID_GDBT || a.frame.size != FIFO_MSG_SIZE ||
                 std::find(std::begin(known), std::end(known), std::make_pair(a.peer, a.frame.cid)) ==
                     std::end(known);
    want(other == 0, std::to_string(other) + " unexpected or partial frames");

    // Growth: the floor of the first quarter of the samples against the
    // floor of the last.  A leak raises the floor; a descriptor that a send
    // holds for a moment does not.
    int fdFirst = INT_MAX, fdLast = INT_MAX;
    long rssFirst = LONG_MAX, rssLast = LONG_MAX;
    size_t q = std::max<size_t>(1, samples.size() / 4);
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].fds < 0 || samples[i].rssKb < 0)
            continue;
        if (i < q) {
            fdFirst = std::min(fdFirst, samples[i].fds);
            rssFirst = std::min(rssFirst, samples[i].rssKb);
        }
        if (i >= samples.size() - q) {
            fdLast = std::min(fdLast, samples[i].fds);
            rssLast = std::min(rssLast, samples[i].rssKb);
        }
    }
    want(fdLast <= fdFirst, "descriptors grew from " + std::to_string(fdFirst) + " to " + std::to_string(fdLast));
    want(rssLast <= rssFirst + 256, "resident memory grew from " + std::to_string(rssFirst) + " kB to " +
                                        std::to_string(rssLast) + " kB");

    std::string json;
    for (auto kv : std::vector<std::pair<const char *, long long>>{
             {"frames", frames}, {"writers", writers}, {"holds", holds}, {"holds_seen", seen[0]},
             {"sent_901", total901}, {"got_621", static_cast<long long>(got621)}, {"presses", presses},
             {"got_356", static_cast<long long>(press356)}, {"got_563", static_cast<long long>(req563)},
             {"unexpected", static_cast<long long>(other)}, {"fd_first", fdFirst}, {"fd_last", fdLast},
             {"rss_first_kb", rssFirst}, {"rss_last_kb", rssLast}, {"samples", static_cast<long long>(samples.size())},
             {"exit_status", status}, {"seconds", (NowNs() - t0) / 1000000000}})
        json += (json.empty() ? "{\"" : ",\"") + std::string(kv.first) + "\":" + std::to_string(kv.second);
    json += ",\"problems\":[";
    for (size_t i = 0; i < problems.size(); ++i)
        json += (i ? ",\"" : "\"") + problems[i] + "\"";
    json += "]}\n";
    std::fputs(json.c_str(), stdout);
    if (FILE *f = opt["out"].empty() ? nullptr : std::fopen(opt["out"].c_str(), "w")) {
        std::fputs(json.c_str(), f);
        std::fclose(f);
    }
    return problems.empty() ? 0 : 1;
}
