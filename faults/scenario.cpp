// kvofaultscn: one run of the fault scenario on the simulated board, the interposer preloaded
// and set by this process's KVO_FAULT_ variables.  Prints for faults/sweep.py "name value" lines
// ("fd TARGET" per descriptor at the end, "received PEER:CID N" per kind of frame, CID -1 for a
// wrong sender, "stray" for bytes of no whole frame), then "log" and the service's log.
// In direct mode with the authentication flag '0': start-up (600), press (356), hold to 454,
// 410 loop off (53, 151), 411 (454), 410 loop on (255, 567), 901 x3 (621), 902 (600), 413 off,
// 411 ignored, 413 on, 901 (621), descriptor check, 900 (605, exit 0).  Each step waits with a
// bound and goes on without its frames: a fault changes what is seen, never how long it runs.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "board/board.h"
#include "crkeyemu.h"

using namespace kvoboard;

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3 || argv[1][0] == '-')
        return std::fprintf(stderr, "usage: kvofaultscn SERVICE [FAULTLIB]  (KVO_FAULT_* from the environment)\n"), 2;
    Board b;
    std::string error;
    BoardSetup setup;
    Launch launch;
    setup.service = launch.service = argv[1];
    launch.preload = argc > 2 ? argv[2] : "";
    bool ok = b.Create(setup, &error);
    if (ok) {
        b.SetGuardButton('1');
        b.SetAuthFlag('0');
        launch.env = {"KVO_FAULT_EXEMPT=" + b.LogPath()}; // the log, the run's record, never fails
    }
    if (!ok || !b.Start(launch, &error))
        return std::printf("error %s\n", error.c_str()), 2;
    const int kSend = 2500; // one send may take up to its 1 s budget, plus slack
    // A step without its frames while our commands lie unread: no progress, the rest skipped.
    bool stuck = false;
    auto wait = [&](KvoPathId p, int cid, size_t n, int ms) {
        if (!stuck && b.Running() && !b.WaitCount(p, cid, n, ms))
            stuck = b.Running() && b.Pending() > 0;
    };
    auto send = [&](int mid, int cid, std::initializer_list<uint8_t> data) { b.Send(MakeFrame(mid, cid, data)); };
    int fdStart = -1, fdEnd = -1;
    std::vector<std::string> fdsEnd;
    bool started = b.WaitCount(KVO_PATH_FIFO_STSP, CMDID_WAKEUP_COMP, 1, 5000);
    if (b.Running()) {
        b.Pump(50);
        fdStart = FdCount(b.Pid());
        CrKeyEmuPress(b.Device());
        wait(KVO_PATH_FIFO_EK, CMDID_GDBT_PRESS, 1, kSend);
        wait(KVO_PATH_FIFO_STS, CMDID_IO_STSREQ, 1, 6000);
        CrKeyEmuRelease(b.Device());
        send(MODID_STS, CMDID_GDBT_CON_NTF, {0, 0, 0});
        wait(KVO_PATH_FIFO_LOG, CMDID_GUARD_LOG, 1, kSend);
        wait(KVO_PATH_FIFO_DISP, CMDID_DISP_MSG, 1, 200);
        send(MODID_PARE, CMDID_PARE_IO_REQ, {});
        wait(KVO_PATH_FIFO_STS, CMDID_IO_STSREQ, 2, kSend);
        send(MODID_STS, CMDID_GDBT_CON_NTF, {0, 0, 1});
        wait(KVO_PATH_FIFO_AUTH, CMDID_AUTH_GUARD, 1, kSend);
        wait(KVO_PATH_FIFO_PARE, CMDID_PARE_GUARD_NTF, 1, 200);
        for (int i = 0; i < 3; ++i)
            send(MODID_STS, CMDID_ALIVE_REQ, {});
        wait(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, 3, kSend);
        send(MODID_STS, CMDID_WAKEUP_REQ, {});
        wait(KVO_PATH_FIFO_STSP, CMDID_WAKEUP_COMP, started ? 2 : 1, kSend);
        send(MODID_STS, CMDID_GDBT_FUNC, {0});
        send(MODID_PARE, CMDID_PARE_IO_REQ, {});
        send(MODID_STS, CMDID_GDBT_FUNC, {1});
        send(MODID_STS, CMDID_ALIVE_REQ, {});
        wait(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, 4, kSend);
        b.Pump(50);
        if (b.Running()) {
            fdEnd = FdCount(b.Pid());
            fdsEnd = FdTargets(b.Pid());
        }
        send(MODID_STS, CMDID_TERMINATE, {0});
        b.WaitCount(KVO_PATH_FIFO_STS, CMDID_TERM_COMP, 1, kSend);
    }
    bool killed = !b.WaitExit(stuck ? 2000 : 8000);
    b.Process().Kill();

    const BoardService &p = b.Process();
    std::printf("exited %d\nstatus %d\nsignal %d\nkilled %d\nstuck %d\nfd_start %d\nfd_end %d\n", p.Exited(),
                p.ExitStatus(), p.Signal(), killed, stuck, fdStart, fdEnd);
    for (const std::string &t : fdsEnd)
        std::printf("fd %s\n", t.c_str());
    std::map<std::string, size_t> received;
    for (const Arrival &a : b.Arrivals()) {
        std::string peer = std::strrchr(KvoBasePath(a.peer), '/') + 1;
        ++received[peer + ":" + std::to_string(a.frame.cid)];
        received[peer + ":-1"] += a.frame.mid != MODID_GDBT;
        received[peer + ":stray"] = b.Stray(a.peer);
    }
    for (const auto &kv : received)
        if (kv.second != 0)
            std::printf("received %s %zu\n", kv.first.c_str(), kv.second);
    std::printf("log_bytes %lld\nlog\n%s", b.LogSize(), b.LogText(64 * 1024).c_str());
    return 0;
}
