// gdbtfixture.h - an in-process stand-in for the service's surroundings: a
// private root with every peer FIFO held open by the test (so sends never
// wait), fake CONFIG and OTHER segments, a pipe that delivers command frames
// or device bytes to the handler under test, and readers for what was sent.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gdbt.h"
#include "kvoroot.h"
#include "logcapture.h"

// Peers in a fixed order; Sent() reads them in this order.
constexpr std::array<KvoPathId, 7> kPeers = {KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP, KVO_PATH_FIFO_PARE,
                                             KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_DISP, KVO_PATH_FIFO_EK,
                                             KVO_PATH_FIFO_LOG};

inline const char *PeerName(KvoPathId id)
{
    switch (id) {
    case KVO_PATH_FIFO_STS: return "Sts";
    case KVO_PATH_FIFO_STSP: return "Stsp";
    case KVO_PATH_FIFO_PARE: return "Pare";
    case KVO_PATH_FIFO_AUTH: return "Auth";
    case KVO_PATH_FIFO_DISP: return "Disp";
    case KVO_PATH_FIFO_EK: return "Ek";
    case KVO_PATH_FIFO_LOG: return "Log";
    default: return "?";
    }
}

// The first data bytes of a frame; the rest of the 250 are spaces.
inline std::string Head(std::initializer_list<int> bytes)
{
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

struct Sent {
    KvoPathId fifo;
    int cid;
    std::string head; // expected: only these first bytes are not spaces
};

struct Frame {
    KvoPathId fifo;
    std::string raw; // 256 bytes as read

    std::string Mid() const { return raw.substr(0, 3); }
    int Cid() const { return std::atoi(raw.substr(3, 3).c_str()); }
    std::string Data() const { return raw.substr(6); }
};

inline std::string SpaceData(const std::string &head)
{
    std::string d(FIFO_MSG_DATA_SIZE, ' ');
    d.replace(0, head.size(), head);
    return d;
}

inline std::string Show(const std::vector<Frame> &frames)
{
    std::string s;
    for (const auto &f : frames) {
        s += std::string(PeerName(f.fifo)) + " " + f.Mid() + " " + std::to_string(f.Cid()) + " [";
        for (size_t i = 0; i < 4 && i < f.Data().size(); ++i)
            s += std::to_string(static_cast<unsigned char>(f.Data()[i])) + " ";
        s += "]\n";
    }
    return s;
}

class GdbtTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root_.MakeAllFifos());
        for (KvoPathId id : kPeers) {
            int fd = open(KvoPath(id), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(fd, 0) << PeerName(id);
            peers_[id] = fd;
        }
        ASSERT_EQ(pipe(in_), 0);
        std::memset(&p_, 0, sizeof p_);
        p_.iSelectDes = in_[0];
        p_.pConfigData = config_.data();
        p_.pOtherData = other_.data();
        config_[KVO_CONFIG_GUARD_BUTTON_OFF] = '1';
        config_[KVO_CONFIG_AUTH_FLAG_OFF] = '0';
        gstLocalInfo = {GDSTS_IDLE, 1, GDBT_PUT_TIME_IDLE};
        giDeviceReadFailures = 0;
    }

    void TearDown() override
    {
        for (auto &kv : peers_)
            close(kv.second);
        CloseIn();
    }

    void CloseIn()
    {
        for (int &fd : in_) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    }

    void SetParentMode(int32_t v) { std::memcpy(other_.data() + KVO_OTHER_PARENT_MODE_OFF, &v, sizeof v); }
    void SetAuthFlag(char c) { config_[KVO_CONFIG_AUTH_FLAG_OFF] = static_cast<unsigned char>(c); }

    // Queues one command frame from module mid on the command pipe.
    void Queue(int mid, int cid, const std::string &head)
    {
        char frame[FIFO_MSG_SIZE];
        std::snprintf(frame, 7, "%03d%03d", mid, cid);
        std::string d = SpaceData(head);
        std::memcpy(frame + 6, d.data(), FIFO_MSG_DATA_SIZE);
        ASSERT_EQ(write(in_[1], frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    }

    int Feed(int mid, int cid, const std::string &head)
    {
        Queue(mid, cid, head);
        return FifoReadFunc(&p_);
    }

    // Everything the peers received, drained, peer by peer in kPeers order.
    std::vector<Frame> Drain()
    {
        std::vector<Frame> out;
        for (KvoPathId id : kPeers) {
            auto it = peers_.find(id);
            if (it == peers_.end())
                continue; // routed elsewhere
            char buf[FIFO_MSG_SIZE];
            ssize_t n;
            while ((n = read(it->second, buf, sizeof buf)) > 0)
                out.push_back({id, std::string(buf, static_cast<size_t>(n))});
        }
        return out;
    }

    // Compares the drained frames with the expected ones (each peer's own
    // order kept; peers compared in kPeers order).
    void ExpectSent(std::vector<Sent> want)
    {
        std::vector<Frame> got = Drain();
        auto rank = [](KvoPathId id) { return std::find(kPeers.begin(), kPeers.end(), id) - kPeers.begin(); };
        std::stable_sort(want.begin(), want.end(), [&](const Sent &a, const Sent &b) { return rank(a.fifo) < rank(b.fifo); });
        ASSERT_EQ(got.size(), want.size()) << Show(got);
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got[i].fifo, want[i].fifo) << Show(got);
            EXPECT_EQ(got[i].raw.size(), static_cast<size_t>(FIFO_MSG_SIZE));
            EXPECT_EQ(got[i].Mid(), "052");
            EXPECT_EQ(got[i].Cid(), want[i].cid) << Show(got);
            if (want[i].cid != CMDID_GUARD_LOG) {
                EXPECT_EQ(got[i].Data(), SpaceData(want[i].head)) << Show(got);
            }
        }
    }

    // Makes sends to id land in the Pare FIFO, so that frames to different
    // peers can be put in one order.
    void RouteToPare(KvoPathId id)
    {
        close(peers_[id]);
        peers_.erase(id);
        std::string path = KvoPath(id);
        std::string pare = KvoPath(KVO_PATH_FIFO_PARE);
        ASSERT_EQ(unlink(path.c_str()), 0);
        ASSERT_EQ(symlink(pare.c_str(), path.c_str()), 0);
    }

    // Priority-6 lines only: the numbered messages and events.
    std::vector<std::string> Info() const { return log_.AtPriority(LOG_INFO); }

    // Every entry trace of a service function has its exit trace, also on
    // the early returns of the failure paths.
    void ExpectEveryStartEnded() const
    {
        static const char *const kFuncs[] = {"InitProcSub",    "TermProcSub",   "GDBTReadFunc",
                                             "TimeUpFunc",     "TimerStartFunc", "TimerStopFunc",
                                             "BtnStsGetFunc",  "PutGuardBtnFunc", "FifoReadFunc",
                                             "WritePipe_GuardLog"};
        for (const char *f : kFuncs) {
            std::string name(f);
            EXPECT_EQ(log_.Count("start of " + name + "\n", LOG_DEBUG), log_.Count("end of " + name + "\n", LOG_DEBUG))
                << name << "\n"
                << log_.Dump();
        }
    }

    KvoRoot root_;
    LogCapture log_;
    ProcInfo p_;
    std::array<unsigned char, KVO_CONFIG_SIZE> config_{};
    std::array<unsigned char, KVO_OTHER_SIZE> other_{};
    std::map<KvoPathId, int> peers_;
    int in_[2] = {-1, -1};
};
