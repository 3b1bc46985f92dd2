// The reports to the status module, as its FIFOs receive them.
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <string>

#include "kvoroot.h"
#include "msgtest.h"

namespace {

struct ReportCase {
    const char *name;
    std::function<void()> send;
    KvoPathId fifo;
    std::string frame;
    std::string start, end;
    int tracePriority;
};

TEST(StatusReports, FramesAsTheStatusModuleReadsThem)
{
    const std::string kill0 = Trace("start", 727, "SendStsModuleKill");
    const std::string kill1 = Trace("end", 741, "SendStsModuleKill");
    const ReportCase cases[] = {
        {"wakeup ok", [] { WakeupComplete(52, 0, "0312"); }, KVO_PATH_FIFO_STSP, Frame("052600", "0000312"),
         "start of WakeupComplete\n", "end of WakeupComplete\n", LOG_DEBUG},
        // Only the four code bytes are read: no terminator needed.
        {"wakeup failed", [] { WakeupComplete(52, 1, "0312XYZ"); }, KVO_PATH_FIFO_STSP, Frame("052600", "0010312"),
         "start of WakeupComplete\n", "end of WakeupComplete\n", LOG_DEBUG},
        {"terminate", [] { TerminateComplete(52, 1); }, KVO_PATH_FIFO_STS, Frame("052605", "001"),
         "start of TerminateComplete\n", "end of TerminateComplete\n", LOG_DEBUG},
        // The path names the failed delivery; the request goes to FifoSts.
        {"kill", [] { SendStsModuleKill("/no/such/fifo", 52, 11); }, KVO_PATH_FIFO_STS, Frame("052631", "011"), kill0,
         kill1, LOG_INFO},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        KvoRoot root;
        ASSERT_TRUE(root.MakeAllFifos());
        FifoPeer peer(KvoPath(c.fifo));
        LogCapture log;
        c.send();
        std::string got = peer.ReadAll();
        ASSERT_EQ(got.size(), 256u);
        EXPECT_EQ(got, c.frame);
        ASSERT_EQ(log.Lines().size(), 2u) << log.Dump();
        EXPECT_EQ(log.Lines()[0].text, c.start);
        EXPECT_EQ(log.Lines()[1].text, c.end);
        EXPECT_EQ(log.Lines()[0].priority, c.tracePriority);
        EXPECT_EQ(log.Lines()[1].priority, c.tracePriority);
    }
}

TEST(StatusReports, UndeliveredReportIsLoggedAndReturns)
{
    KvoRoot root;
    LogCapture log;
    WakeupComplete(52, 0, "0312");
    EXPECT_EQ(log.Count(ReadOpenError(FIFO_NAME_STSP, ENOENT), LOG_INFO), 3) << log.Dump();
    EXPECT_TRUE(log.Has("end of WakeupComplete\n", LOG_DEBUG));
}

// A value that does not fit three digits would reach the status module cut
// short (1000 as "100"): nothing is sent.
TEST(StatusReports, ValuesOutsideThreeDigitsAreNotSent)
{
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    FifoPeer sts(FIFO_NAME_STS);
    FifoPeer stsp(FIFO_NAME_STSP);
    LogCapture log;
    WakeupComplete(52, 1000, "0312");
    TerminateComplete(52, -1);
    SendStsModuleKill(FIFO_NAME_FTP, 52, 1011);
    EXPECT_EQ(sts.ReadAll() + stsp.ReadAll(), "");
    const std::string s = FIFO_NAME_STS;
    EXPECT_EQ(log.Count("FIFO data id error (fifo=" + std::string(FIFO_NAME_STSP) + ", cid=600, value=1000)\n",
                        LOG_INFO),
              1)
        << log.Dump();
    EXPECT_EQ(log.Count("FIFO data id error (fifo=" + s + ", cid=605, value=-1)\n", LOG_INFO), 1);
    EXPECT_EQ(log.Count("FIFO data id error (fifo=" + s + ", cid=631, value=1011)\n", LOG_INFO), 1);
}

} // namespace
