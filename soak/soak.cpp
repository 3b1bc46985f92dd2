// soak.cpp - kvosoak: the real service under a long stream of commands from
// several writer processes at once while the guard button is pressed and
// held again and again (parent mode).  Checks, and prints as JSON:
//  - every 901 answered by exactly one 621, every press by one 356, every
//    hold by one guard request 563; nothing else and no partial frame;
//  - descriptors and resident memory do not grow between the first and the
//    last quarter of the run;
//  - the guard state at the end: a last hold, then 412 with loop signal off
//    gives one display message, and a second 412 none (the state went back);
//  - 900 ends the service with the termination report and exit status 0.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "board/peer.h"
#include "crkeyemu.h"
#include "rig.h"

namespace {

struct Args {
    std::string service, out;
    long frames = 5000;
    int holds = 5;
    int writers = 4;
};

struct Sample {
    long long ms;
    int fds;
    long rssKb;
};

// The frames the writers send: 901, and 413 with function on.
struct WriterFrames {
    uint8_t f901[FIFO_MSG_SIZE];
    uint8_t f413[FIFO_MSG_SIZE];
};

// One writer process: its share of the frames, paced over the run.  Three
// of four frames are 901, the fourth 413.  Only async-signal-safe calls:
// the rig has threads.
[[noreturn]] void Writer(const char *path, const WriterFrames &frames, long count, long long spanMs, long *sent901)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        _exit(3);
    long long gapNs = count > 0 ? spanMs * 1000000LL / count : 0;
    const uint8_t *f901 = frames.f901, *f413 = frames.f413;
    long n901 = 0;
    for (long i = 0; i < count; ++i) {
        const uint8_t *f = (i % 4 == 3) ? f413 : f901;
        if (write(fd, f, FIFO_MSG_SIZE) != FIFO_MSG_SIZE)
            _exit(4);
        n901 += f == f901;
        if (gapNs > 0) {
            struct timespec ts = {static_cast<time_t>(gapNs / 1000000000LL), static_cast<long>(gapNs % 1000000000LL)};
            nanosleep(&ts, nullptr);
        }
    }
    *sent901 = n901;
    _exit(0);
}

Args Parse(int argc, char **argv)
{
    Args a;
    static const option opts[] = {{"service", required_argument, nullptr, 's'},
                                  {"frames", required_argument, nullptr, 'f'},
                                  {"holds", required_argument, nullptr, 'h'},
                                  {"writers", required_argument, nullptr, 'w'},
                                  {"out", required_argument, nullptr, 'o'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        switch (c) {
        case 's': a.service = optarg; break;
        case 'f': a.frames = std::atol(optarg); break;
        case 'h': a.holds = std::atoi(optarg); break;
        case 'w': a.writers = std::max(1, std::atoi(optarg)); break;
        case 'o': a.out = optarg; break;
        default: std::exit(2);
        }
    }
    if (a.service.empty()) {
        std::fprintf(stderr, "usage: kvosoak --service PATH [--frames N] [--holds N] [--writers N] [--out F]\n");
        std::exit(2);
    }
    return a;
}

} // namespace

int main(int argc, char **argv)
{
    Args a = Parse(argc, argv);
    rig::Options opt;
    opt.service = a.service;
    opt.parentMode = 1;
    rig::Rig r(opt);
    std::vector<std::string> problems;
    if (!r.Prepare() || !r.Start()) {
        std::fprintf(stderr, "kvosoak: %s\n", r.Error().c_str());
        return 2;
    }
    if (!r.WaitCount(rig::P_STSP, CMDID_WAKEUP_COMP, 1, 10000)) {
        std::fprintf(stderr, "kvosoak: no start-up report\n");
        return 1;
    }
    long long t0 = rig::NowMs();
    const long long spanMs = std::max(5000LL, a.holds * 3600LL);

    // Shared counters of the writer processes.
    auto *sent901 = static_cast<long *>(
        mmap(nullptr, sizeof(long) * static_cast<size_t>(a.writers), PROT_READ | PROT_WRITE,
             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::string cmdPath = r.CommandPath();
    WriterFrames frames;
    const uint8_t on = 1;
    kvoboard::BuildFrame(frames.f901, MODID_STS, CMDID_ALIVE_REQ);
    kvoboard::BuildFrame(frames.f413, MODID_STS, CMDID_GDBT_FUNC, &on, 1);
    std::vector<pid_t> writers;
    for (int w = 0; w < a.writers; ++w) {
        long share = a.frames / a.writers + (w < a.frames % a.writers ? 1 : 0);
        sent901[w] = -1;
        pid_t pid = fork();
        if (pid == 0)
            Writer(cmdPath.c_str(), frames, share, spanMs, &sent901[w]);
        writers.push_back(pid);
    }

    std::vector<Sample> samples;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            samples.push_back({rig::NowMs() - t0, r.FdCount(), r.VmRssKb()});
            rig::SleepMs(500);
        }
    });

    int holdsSeen = 0, presses = 0;
    auto ans0 = rig::Data({0}), ans2 = rig::Data({2});
    for (int h = 0; h < a.holds; ++h) {
        CrKeyEmuPress(r.Device());
        ++presses;
        bool got = r.WaitCount(rig::P_PARE, CMDID_GUARD_REQ, static_cast<size_t>(h + 1), 10000);
        CrKeyEmuRelease(r.Device());
        holdsSeen += got;
        if (!got)
            problems.push_back("hold " + std::to_string(h + 1) + " gave no guard request");
        r.Send(MODID_PARE, CMDID_PARE_GUARD_ANS, ans0.data(), ans0.size());
        rig::SleepMs(300);
    }
    long total901 = 0;
    for (size_t w = 0; w < writers.size(); ++w) {
        int st = 0;
        waitpid(writers[w], &st, 0);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0 || sent901[w] < 0)
            problems.push_back("writer " + std::to_string(w) + " failed");
        total901 += std::max(0L, sent901[w]);
    }
    bool answered = r.WaitCount(rig::P_STS, CMDID_ALIVE_ANS, static_cast<size_t>(total901), 30000);
    rig::SleepMs(500); // late duplicates would arrive now
    size_t got621 = r.Count(rig::P_STS, CMDID_ALIVE_ANS);
    if (!answered || got621 != static_cast<size_t>(total901))
        problems.push_back("901 sent " + std::to_string(total901) + ", 621 received " + std::to_string(got621));
    sampling = false;
    sampler.join();

    // The guard state at the end.
    CrKeyEmuPress(r.Device());
    ++presses;
    bool lastHold = r.WaitCount(rig::P_PARE, CMDID_GUARD_REQ, static_cast<size_t>(a.holds + 1), 10000);
    CrKeyEmuRelease(r.Device());
    r.Send(MODID_PARE, CMDID_PARE_GUARD_ANS, ans2.data(), ans2.size());
    bool disp = r.WaitCount(rig::P_DISP, CMDID_DISP_MSG, 1, 3000);
    r.Send(MODID_PARE, CMDID_PARE_GUARD_ANS, ans2.data(), ans2.size());
    r.Send(MODID_STS, CMDID_ALIVE_REQ);
    r.WaitCount(rig::P_STS, CMDID_ALIVE_ANS, got621 + 1, 3000);
    if (!lastHold || !disp || r.Count(rig::P_DISP, CMDID_DISP_MSG) != 1)
        problems.push_back("guard state at the end: hold " + std::to_string(lastHold) + ", display messages " +
                           std::to_string(r.Count(rig::P_DISP, CMDID_DISP_MSG)) + " (want 1)");

    auto t = rig::Data({0});
    r.Send(MODID_STS, CMDID_TERMINATE, t.data(), t.size());
    bool term = r.WaitCount(rig::P_STS, CMDID_TERM_COMP, 1, 5000);
    rig::Exit ex = r.Wait(10000);
    if (!term || !ex.exited || ex.status != 0)
        problems.push_back("termination: report " + std::to_string(term) + ", exit status " +
                           std::to_string(ex.status) + ", signal " + std::to_string(ex.signal));

    // Frame accounting over every peer.
    size_t press356 = r.Count(rig::P_PARE, CMDID_GDBT_PRESS);
    size_t req563 = r.Count(rig::P_PARE, CMDID_GUARD_REQ);
    if (press356 != static_cast<size_t>(presses))
        problems.push_back("presses " + std::to_string(presses) + ", 356 received " + std::to_string(press356));
    if (req563 != static_cast<size_t>(holdsSeen + (lastHold ? 1 : 0)))
        problems.push_back("563 received " + std::to_string(req563));
    size_t other = 0;
    for (int p = 0; p < rig::P_COUNT; ++p) {
        for (const rig::Frame &f : r.Received(static_cast<rig::Peer>(p))) {
            bool known = (p == rig::P_STS && (f.cid == CMDID_ALIVE_ANS || f.cid == CMDID_TERM_COMP)) ||
                         (p == rig::P_STSP && f.cid == CMDID_WAKEUP_COMP) ||
                         (p == rig::P_PARE && (f.cid == CMDID_GDBT_PRESS || f.cid == CMDID_GUARD_REQ)) ||
                         (p == rig::P_DISP && f.cid == CMDID_DISP_MSG);
            other += !known || f.mid != MODID_GDBT;
        }
        if (r.Stray(static_cast<rig::Peer>(p)) != 0)
            problems.push_back(std::string("partial frame on Fifo") + rig::PeerName(static_cast<rig::Peer>(p)));
    }
    if (other != 0)
        problems.push_back(std::to_string(other) + " unexpected frames");

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
    if (fdLast > fdFirst)
        problems.push_back("descriptors grew from " + std::to_string(fdFirst) + " to " + std::to_string(fdLast));
    if (rssLast > rssFirst + 256)
        problems.push_back("resident memory grew from " + std::to_string(rssFirst) + " kB to " +
                           std::to_string(rssLast) + " kB");

    long long ms = rig::NowMs() - t0;
    std::string json = "{\"frames\":" + std::to_string(a.frames) + ",\"writers\":" + std::to_string(a.writers) +
                       ",\"holds\":" + std::to_string(a.holds) + ",\"holds_seen\":" + std::to_string(holdsSeen) +
                       ",\"sent_901\":" + std::to_string(total901) + ",\"got_621\":" + std::to_string(got621) +
                       ",\"presses\":" + std::to_string(presses) + ",\"got_356\":" + std::to_string(press356) +
                       ",\"got_563\":" + std::to_string(req563) + ",\"unexpected\":" + std::to_string(other) +
                       ",\"fd_first\":" + std::to_string(fdFirst) + ",\"fd_last\":" + std::to_string(fdLast) +
                       ",\"rss_first_kb\":" + std::to_string(rssFirst) + ",\"rss_last_kb\":" +
                       std::to_string(rssLast) + ",\"samples\":" + std::to_string(samples.size()) +
                       ",\"exit_status\":" + std::to_string(ex.status) + ",\"seconds\":" +
                       std::to_string(ms / 1000) + ",\"problems\":[";
    for (size_t i = 0; i < problems.size(); ++i) {
        std::string p;
        for (char ch : problems[i])
            p += ch == '"' ? '\'' : ch;
        json += (i ? ",\"" : "\"") + p + "\"";
    }
    json += "]}";
    std::printf("%s\n", json.c_str());
    if (!a.out.empty()) {
        FILE *f = std::fopen(a.out.c_str(), "w");
        if (f != nullptr) {
            std::fprintf(f, "%s\n", json.c_str());
            std::fclose(f);
        }
    }
    return problems.empty() ? 0 : 1;
}
