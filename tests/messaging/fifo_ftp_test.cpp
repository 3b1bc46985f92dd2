// FTP-log delivery: never waits, and on failure drains the FTP module's
// FIFO and asks the status module to kill module 11.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "kvoroot.h"
#include "msgtest.h"

namespace {

constexpr int kDrainReads = 245;

class FtpDelivery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(sts.Fd(), 0); }

    // The info-level lines of the recovery after `errors` attempt failures.
    std::vector<std::string> Recovery(const std::string &path, int readErrors, bool existed) const
    {
        std::vector<std::string> l = {Trace("start", 783, "ComFIFOGetFTP")};
        if (existed)
            l.push_back(Trace("end", 794, "ComFIFOGetFTP"));
        for (int i = 0; i < readErrors; ++i)
            l.push_back("FIFO read error (errno=11(" + std::string(strerror(EAGAIN)) + "))\n");
        l.push_back(Trace("end", 823, "ComFIFOGetFTP"));
        l.push_back(Trace("start", 727, "SendStsModuleKill"));
        l.push_back(Trace("end", 741, "SendStsModuleKill"));
        l.push_back("pipe=" + path + " is ERROR .iRet=-1 ,..\\src\\qnosfifo,875,@ComFIFOPutDataforFtpLog\n");
        return l;
    }

    KvoRoot root;
    bool stsMade = root.MakeFifo(KVO_PATH_FIFO_STS); // the status module's FIFO, held by it
    FifoPeer sts{FIFO_NAME_STS};
    LogCapture log;
    std::string ftp = FIFO_NAME_FTP;
    std::string data = Data("ftp log record");
};

TEST_F(FtpDelivery, SuccessLogsOnlyTraces)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_FTP));
    FifoPeer peer(ftp.c_str());
    EXPECT_EQ(ComFIFOPutDataforFtpLog(ftp.c_str(), 52, 70, data.data()), 0);
    EXPECT_EQ(peer.ReadAll(), "052070" + data);
    std::vector<LogLine> want = {{LOG_DEBUG, Trace("start", 861, "ComFIFOPutDataforFtpLog")},
                                 {LOG_DEBUG, Trace("start", 634, "ComFIFOPutData3")},
                                 {LOG_DEBUG, Trace("end", 686, "ComFIFOPutData3")},
                                 {LOG_DEBUG, Trace("end", 878, "ComFIFOPutDataforFtpLog")}};
    ASSERT_EQ(log.Lines().size(), want.size()) << log.Dump();
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(log.Lines()[i].text, want[i].text);
        EXPECT_EQ(log.Lines()[i].priority, want[i].priority);
    }
    EXPECT_EQ(sts.ReadAll(), "");
}

// The FTP module holds its FIFO but does not read, and it is full.
TEST_F(FtpDelivery, FullFifoIsDrainedAndTheModuleKilled)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_FTP));
    FifoPeer peer(ftp.c_str());
    int frames = peer.Fill();
    ASSERT_GT(frames, 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ComFIFOPutDataforFtpLog(ftp.c_str(), 52, 70, data.data()), -1);
    EXPECT_LT(SecondsSince(t0), 5.0);

    std::vector<std::string> want(3, WriteError(ftp, EAGAIN));
    int readErrors = frames < kDrainReads ? kDrainReads - frames : 0;
    for (const auto &l : Recovery(ftp, readErrors, true))
        want.push_back(l);
    EXPECT_EQ(log.AtPriority(LOG_INFO), want) << log.Dump();
    int left = frames > kDrainReads ? frames - kDrainReads : 0;
    EXPECT_EQ(peer.ReadAll().size(), static_cast<size_t>(left) * FIFO_MSG_SIZE);
    EXPECT_EQ(sts.ReadAll(), Frame("052631", "011"));
}

// A writer but no reader: the non-blocking append open fails with ENXIO.
TEST_F(FtpDelivery, NoReaderFailsEachAttemptAtOnce)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_FTP));
    int r = open(ftp.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int w = open(ftp.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    close(r);
    ASSERT_GE(w, 0);
    EXPECT_EQ(ComFIFOPutDataforFtpLog(ftp.c_str(), 52, 70, data.data()), -1);
    std::vector<std::string> want(3, WriteOpenError(ftp, ENXIO));
    for (const auto &l : Recovery(ftp, kDrainReads, true))
        want.push_back(l);
    EXPECT_EQ(log.AtPriority(LOG_INFO), want) << log.Dump();
    EXPECT_EQ(sts.ReadAll(), Frame("052631", "011"));
    close(w);
}

// Whatever path failed, the recovery acts on FifoFtp and module 11.
TEST_F(FtpDelivery, OtherPathStillRecoversTheFtpFifo)
{
    const std::string other = root.Dir() + "/tmp/pipe/FifoOther";
    EXPECT_EQ(ComFIFOPutDataforFtpLog(other.c_str(), 52, 70, data.data()), -1);
    std::vector<std::string> want(3, ReadOpenError(other, ENOENT));
    for (const auto &l : Recovery(other, kDrainReads, false))
        want.push_back(l);
    EXPECT_EQ(log.AtPriority(LOG_INFO), want) << log.Dump();
    EXPECT_FALSE(Exists(other));
    EXPECT_TRUE(IsFifo(ftp));
    EXPECT_EQ(sts.ReadAll(), Frame("052631", "011"));
}

TEST_F(FtpDelivery, RegularFileIsRefusedAndLeftAlone)
{
    int fd = open(ftp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(write(fd, "keep", 4), 4);
    close(fd);
    EXPECT_EQ(ComFIFOPutData3(ftp.c_str(), 52, 70, data.data()), -1);
    EXPECT_EQ(log.Count(WriteOpenError(ftp, EINVAL), LOG_INFO), 3) << log.Dump();
    EXPECT_EQ(ReadFile(ftp), "keep");
}

// A frame refused for its ids is the caller's fault, not the FTP module's.
TEST_F(FtpDelivery, BadIdsAreRefusedWithoutRecovery)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_FTP));
    FifoPeer peer(ftp.c_str());
    EXPECT_EQ(ComFIFOPutDataforFtpLog(ftp.c_str(), 52, 1000, data.data()), -1);
    EXPECT_EQ(log.AtPriority(LOG_INFO),
              std::vector<std::string>{"FIFO id error (fifo=" + ftp + ", mid=52, cid=1000)\n"})
        << log.Dump();
    EXPECT_EQ(log.Count(Trace("end", 686, "ComFIFOPutData3"), LOG_DEBUG), 1);
    EXPECT_EQ(peer.ReadAll(), "");
    EXPECT_EQ(sts.ReadAll(), "");
}

TEST(FtpDrain, EmptyFifoGivesEveryReadItsError)
{
    for (bool existed : {true, false}) {
        SCOPED_TRACE(existed);
        KvoRoot root;
        const std::string ftp = FIFO_NAME_FTP;
        if (existed) {
            ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_FTP));
        }
        LogCapture log;
        ComFIFOGetFTP();
        EXPECT_TRUE(IsFifo(ftp));
        const std::string readError = "FIFO read error (errno=11(" + std::string(strerror(EAGAIN)) + "))\n";
        EXPECT_EQ(log.Count(readError, LOG_INFO), kDrainReads);
        EXPECT_EQ(log.Count(Trace("end", 794, "ComFIFOGetFTP"), LOG_INFO), existed ? 1 : 0);
        ASSERT_EQ(log.Lines().size(), static_cast<size_t>(kDrainReads + (existed ? 3 : 2))) << log.Dump();
        EXPECT_EQ(log.Lines().front().text, Trace("start", 783, "ComFIFOGetFTP"));
        EXPECT_EQ(log.Lines().back().text, Trace("end", 823, "ComFIFOGetFTP"));
    }
}

TEST(FtpDrain, OpenFailureEndsTheDrain)
{
    KvoRoot root;
    const std::string ftp = FIFO_NAME_FTP;
    ASSERT_EQ(rmdir((root.Dir() + "/tmp/pipe").c_str()), 0);
    LogCapture log;
    ComFIFOGetFTP();
    std::vector<std::string> want = {Trace("start", 783, "ComFIFOGetFTP"), Trace("end", 794, "ComFIFOGetFTP"),
                                     ftp + " open error (errno=2(" + strerror(ENOENT) + "))\n"};
    EXPECT_EQ(log.AtPriority(LOG_INFO), want) << log.Dump();
}

} // namespace
