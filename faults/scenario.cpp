// scenario.cpp - kvofaultscn: one run of the fault scenario against the real
// service, with the fault interposer preloaded; prints what it observed as
// one JSON object.  The sweep (scripts/harden faults) runs it once without a
// fault to count the calls and record the reference, then once per injected
// fault, and judges each run against the reference.
//
// The scenario, in direct mode with the authentication flag '0':
//   start-up (600) - press (356) - hold to the IO status request (454) -
//   410 loop off (151, 53) - 411 (454) - 410 loop on (567, 255) - 901 x3
//   (621) - 902 (600) - 413 off, 411 ignored, 413 on, 901 (621) -
//   descriptor check - 900 (605, exit 0).
// Each step waits for its frames with a bound and goes on without them, so
// that a fault changes what is observed, never how long the run may take.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crkeyemu.h"
#include "kvofault.h"
#include "rig.h"

namespace {

struct Args {
    std::string service, faultLib, counts, calls, trace;
    std::string fn, nth, err, mode;
    int level = 6;
};

std::string JsonEscape(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

Args Parse(int argc, char **argv)
{
    Args a;
    static const option opts[] = {{"service", required_argument, nullptr, 's'},
                                  {"fault-lib", required_argument, nullptr, 'l'},
                                  {"counts", required_argument, nullptr, 'c'},
                                  {"calls", required_argument, nullptr, 'C'},
                                  {"trace", required_argument, nullptr, 't'},
                                  {"fn", required_argument, nullptr, 'f'},
                                  {"nth", required_argument, nullptr, 'n'},
                                  {"errno", required_argument, nullptr, 'e'},
                                  {"mode", required_argument, nullptr, 'm'},
                                  {"level", required_argument, nullptr, 'v'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        switch (c) {
        case 's': a.service = optarg; break;
        case 'l': a.faultLib = optarg; break;
        case 'c': a.counts = optarg; break;
        case 'C': a.calls = optarg; break;
        case 't': a.trace = optarg; break;
        case 'f': a.fn = optarg; break;
        case 'n': a.nth = optarg; break;
        case 'e': a.err = optarg; break;
        case 'm': a.mode = optarg; break;
        case 'v': a.level = std::atoi(optarg); break;
        default: std::exit(2);
        }
    }
    if (a.service.empty()) {
        std::fprintf(stderr, "usage: kvofaultscn --service PATH [--fault-lib PATH --fn NAME "
                             "--nth N --errno E --mode once|persist|burst:K] [--counts F] "
                             "[--calls F] [--trace F]\n");
        std::exit(2);
    }
    return a;
}

struct Step {
    std::string name;
    long long ms;
};

} // namespace

int main(int argc, char **argv)
{
    Args a = Parse(argc, argv);
    rig::Options opt;
    opt.service = a.service;
    opt.parentMode = 0;
    opt.authFlag = '0';
    opt.logLevel = a.level;
    opt.preload = a.faultLib;
    auto env = [&](const char *k, const std::string &v) {
        if (!v.empty())
            opt.env.push_back(std::string(k) + "=" + v);
    };
    env("KVO_FAULT_COUNTS", a.counts);
    env("KVO_FAULT_CALLS", a.calls);
    env("KVO_FAULT_TRACE", a.trace);
    env("KVO_FAULT_FN", a.fn);
    env("KVO_FAULT_NTH", a.nth);
    env("KVO_FAULT_ERRNO", a.err);
    env("KVO_FAULT_MODE", a.mode);

    rig::Rig r(opt);
    if (!r.Prepare()) {
        std::printf("{\"error\":\"%s\"}\n", JsonEscape(r.Error()).c_str());
        return 2;
    }
    // The log file is the record of the run: its writes are never failed.
    r.AddEnv("KVO_FAULT_EXEMPT=" + r.LogPath());

    long long t0 = rig::NowMs();
    std::vector<Step> steps;
    auto mark = [&](const char *name) { steps.push_back({name, rig::NowMs() - t0}); };
    if (!r.Start()) {
        std::printf("{\"error\":\"fork\"}\n");
        return 2;
    }

    using rig::P_AUTH;
    using rig::P_DISP;
    using rig::P_EK;
    using rig::P_LOG;
    using rig::P_PARE;
    using rig::P_STS;
    using rig::P_STSP;
    const int kSend = 2500; // one send may take up to its 1 s budget, plus slack

    // A step that ends without its frames while our commands still lie
    // unread in the service's FIFO: the service makes no progress (a
    // persistent failure of its wait, say), so the rest is skipped.
    bool stuck = false;
    auto wait = [&](rig::Peer p, int cid, size_t n, int ms) {
        if (stuck || !r.Running()) // nothing more will come
            return r.Count(p, cid) >= n;
        bool ok = r.WaitCount(p, cid, n, ms);
        stuck = !ok && r.Running() && r.Pending() > 0;
        return ok;
    };
    int fdStart = -1, fdEnd = -1;
    std::vector<std::string> fdsEnd;
    bool started = r.WaitCount(P_STSP, CMDID_WAKEUP_COMP, 1, 5000);
    mark("startup");
    if (r.Running()) {
        rig::SleepMs(50);
        fdStart = r.FdCount();
        CrKeyEmuPress(r.Device());
        wait(P_EK, CMDID_GDBT_PRESS, 1, kSend);
        mark("press");
        wait(P_STS, CMDID_IO_STSREQ, 1, 6000);
        CrKeyEmuRelease(r.Device());
        mark("hold");
        auto d0 = rig::Data({0, 0, 0});
        r.Send(MODID_STS, CMDID_GDBT_CON_NTF, d0.data(), d0.size());
        wait(P_LOG, CMDID_GUARD_LOG, 1, kSend);
        wait(P_DISP, CMDID_DISP_MSG, 1, 200);
        mark("410-off");
        r.Send(MODID_PARE, CMDID_PARE_IO_REQ);
        wait(P_STS, CMDID_IO_STSREQ, 2, kSend);
        mark("411");
        auto d1 = rig::Data({0, 0, 1});
        r.Send(MODID_STS, CMDID_GDBT_CON_NTF, d1.data(), d1.size());
        wait(P_AUTH, CMDID_AUTH_GUARD, 1, kSend);
        wait(P_PARE, CMDID_PARE_GUARD_NTF, 1, 200);
        mark("410-on");
        for (int i = 0; i < 3; ++i)
            r.Send(MODID_STS, CMDID_ALIVE_REQ);
        wait(P_STS, CMDID_ALIVE_ANS, 3, kSend);
        mark("901");
        r.Send(MODID_STS, CMDID_WAKEUP_REQ);
        wait(P_STSP, CMDID_WAKEUP_COMP, started ? 2 : 1, kSend);
        mark("902");
        auto off = rig::Data({0}), on = rig::Data({1});
        r.Send(MODID_STS, CMDID_GDBT_FUNC, off.data(), off.size());
        r.Send(MODID_PARE, CMDID_PARE_IO_REQ);
        r.Send(MODID_STS, CMDID_GDBT_FUNC, on.data(), on.size());
        r.Send(MODID_STS, CMDID_ALIVE_REQ);
        wait(P_STS, CMDID_ALIVE_ANS, 4, kSend);
        mark("413");
        rig::SleepMs(50);
        if (r.Running()) {
            fdEnd = r.FdCount();
            fdsEnd = r.FdTargets();
        }
        auto t = rig::Data({0});
        r.Send(MODID_STS, CMDID_TERMINATE, t.data(), t.size());
        r.WaitCount(P_STS, CMDID_TERM_COMP, 1, kSend);
        mark("900");
    }
    rig::Exit ex = r.Wait(stuck ? 2000 : 8000);
    mark("exit");

    std::string out = "{";
    out += "\"fn\":\"" + JsonEscape(a.fn) + "\",\"nth\":\"" + a.nth + "\",\"errno\":\"" +
           JsonEscape(a.err) + "\",\"mode\":\"" + JsonEscape(a.mode) + "\"";
    out += ",\"exited\":" + std::string(ex.exited ? "true" : "false");
    out += ",\"status\":" + std::to_string(ex.status);
    out += ",\"signal\":" + std::to_string(ex.signal);
    out += ",\"killed\":" + std::string(ex.killed ? "true" : "false");
    out += ",\"stuck\":" + std::string(stuck ? "true" : "false");
    out += ",\"fd_start\":" + std::to_string(fdStart) + ",\"fd_end\":" + std::to_string(fdEnd);
    out += ",\"fds_end\":[";
    for (size_t i = 0; i < fdsEnd.size(); ++i)
        out += (i ? ",\"" : "\"") + JsonEscape(fdsEnd[i]) + "\"";
    out += "],\"received\":{";
    bool first = true;
    for (int p = 0; p < rig::P_COUNT; ++p) {
        std::map<int, int> byCid;
        for (const rig::Frame &f : r.Received(static_cast<rig::Peer>(p))) {
            ++byCid[f.cid];
            if (f.mid != MODID_GDBT)
                ++byCid[-1]; // a frame with a wrong sender
        }
        for (auto &kv : byCid) {
            out += std::string(first ? "" : ",") + "\"" + rig::PeerName(static_cast<rig::Peer>(p)) +
                   ":" + std::to_string(kv.first) + "\":" + std::to_string(kv.second);
            first = false;
        }
        if (r.Stray(static_cast<rig::Peer>(p)) != 0) {
            out += std::string(first ? "" : ",") + "\"" + rig::PeerName(static_cast<rig::Peer>(p)) +
                   ":stray\":" + std::to_string(r.Stray(static_cast<rig::Peer>(p)));
            first = false;
        }
    }
    out += "},\"steps\":{";
    for (size_t i = 0; i < steps.size(); ++i)
        out += (i ? ",\"" : "\"") + steps[i].name + "\":" + std::to_string(steps[i].ms);
    out += "},\"paths\":{";
    for (int p = 0; p < rig::P_COUNT; ++p)
        out += std::string(p ? "," : "") + "\"" + rig::PeerName(static_cast<rig::Peer>(p)) + "\":\"" +
               JsonEscape(r.Path(static_cast<rig::Peer>(p))) + "\"";
    out += "},\"root\":\"" + JsonEscape(r.Root()) + "\"";
    out += ",\"log_bytes\":" + std::to_string(r.LogSize());
    out += ",\"log\":\"" + JsonEscape(r.Log(64 * 1024)) + "\"}";
    std::printf("%s\n", out.c_str());
    return 0;
}
