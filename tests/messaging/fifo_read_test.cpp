// Receiving: ComFIFOGetData over ComFifoRead, and the descriptor-level
// ComFifoWrite and ComFifoClose.
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "kvoroot.h"
#include "msgtest.h"

namespace {

class FifoGetData : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GE(peer.Fd(), 0);
        info.iSelectDes = peer.Fd();
        data.fill('?');
    }
    void Put(const std::string &bytes) const
    {
        ASSERT_EQ(write(peer.Fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    KvoRoot root;
    bool made = root.MakeFifo(KVO_PATH_FIFO_GDBT);
    FifoPeer peer{FIFO_NAME_GDBT};
    ProcInfo info{};
    LogCapture log;
    int mid = -7;
    int cid = -7;
    std::array<char, FIFO_MSG_DATA_SIZE> data{};
};

TEST_F(FifoGetData, SplitsAFrameKeepingZeroBytes)
{
    std::string body = Data(std::string("AB\0\xff", 4) + "CD");
    body[249] = '\0';
    Put("080900" + body);
    EXPECT_EQ(ComFIFOGetData(&info, &mid, &cid, data.data()), FIFO_MSG_SIZE);
    EXPECT_EQ(mid, 80);
    EXPECT_EQ(cid, 900);
    EXPECT_EQ(std::string(data.data(), data.size()), body);
    EXPECT_EQ(log.Count("pid=" + std::to_string(getpid()) + ", read-cnt=256byte\n", LOG_DEBUG), 1) << log.Dump();
    EXPECT_EQ(log.Count("receive-data=080900AB\n", LOG_DEBUG), 1);
    EXPECT_EQ(log.Count("ComFIFOGetData() mid = 80, cid = 900, rcv_data = 41 42 00 ff 43 44 20 20", LOG_DEBUG), 1);
}

TEST_F(FifoGetData, IdFieldsConvertLikeAtoi)
{
    const struct {
        const char *field;
        int value;
    } cases[] = {{" 5x", 5}, {"abc", 0}, {"-01", -1}, {"007", 7}, {"999", 999}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.field);
        Put(std::string(c.field) + c.field + Data("x"));
        ASSERT_EQ(ComFIFOGetData(&info, &mid, &cid, data.data()), FIFO_MSG_SIZE);
        EXPECT_EQ(mid, c.value);
        EXPECT_EQ(cid, c.value);
    }
}

// A short frame from a foreign writer: the bytes after it are zeros, not
// what the frame before it left behind.
TEST_F(FifoGetData, ShortReadLeavesNoStaleBytes)
{
    Put("011022" + std::string(FIFO_MSG_DATA_SIZE, 'Z'));
    ASSERT_EQ(ComFIFOGetData(&info, &mid, &cid, data.data()), FIFO_MSG_SIZE);
    Put("052600abcd");
    ASSERT_EQ(ComFIFOGetData(&info, &mid, &cid, data.data()), 10);
    EXPECT_EQ(mid, 52);
    EXPECT_EQ(cid, 600);
    EXPECT_EQ(std::string(data.data(), 4), "abcd");
    EXPECT_EQ(std::string(data.data() + 4, data.size() - 4), std::string(data.size() - 4, '\0'));
}

TEST_F(FifoGetData, NothingToReadLeavesOutputsAlone)
{
    // The peer's own descriptor: empty and non-blocking, so EAGAIN.  A FIFO
    // that nobody writes to: end of file.
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_EK));
    int eof = open(FIFO_NAME_EK, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(eof, 0);
    for (int fd : {peer.Fd(), eof}) {
        SCOPED_TRACE(fd);
        info.iSelectDes = fd;
        EXPECT_EQ(ComFIFOGetData(&info, &mid, &cid, data.data()), 0);
        EXPECT_EQ(mid, -7);
        EXPECT_EQ(cid, -7);
        EXPECT_EQ(std::string(data.data(), data.size()), std::string(data.size(), '?'));
    }
    EXPECT_EQ(log.Count("end of ComFifoRead()\n", LOG_DEBUG), 2);
    EXPECT_TRUE(log.AtPriority(LOG_INFO).empty()) << log.Dump();
    close(eof);
}

TEST_F(FifoGetData, ReadFailureStoresErrno)
{
    info.iSelectDes = -1;
    EXPECT_EQ(ComFIFOGetData(&info, &mid, &cid, data.data()), -1);
    EXPECT_EQ(info.iErrno, EBADF);
    EXPECT_EQ(log.Count("read failed(fifoDescript=-1), errno=9\n", LOG_INFO), 1) << log.Dump();
    EXPECT_EQ(log.Count("end of ComFifoRead()\n"), 0);
    EXPECT_EQ(mid, -7);
}

TEST(FifoWriteClose, WriteAndCloseReportFailures)
{
    KvoRoot root;
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_GDBT));
    FifoPeer peer(FIFO_NAME_GDBT);
    ProcInfo info{};
    LogCapture log;
    int fd = dup(peer.Fd());
    EXPECT_EQ(ComFifoWrite(fd, "hello\0tail", 10), 0);
    EXPECT_EQ(peer.ReadAll(), std::string("hello\0tail", 10));
    EXPECT_EQ(log.Count("send data(hello)\n", LOG_DEBUG), 1) << log.Dump();
    EXPECT_EQ(ComFifoClose(&info, fd), 0);
    EXPECT_EQ(log.Count("FifoClose success(iFifoDescriptor=" + std::to_string(fd) + ")\n", LOG_DEBUG), 1);

    EXPECT_EQ(ComFifoWrite(fd, "x", 1), -1);
    EXPECT_EQ(log.Count("send failed(iFifoDescript=" + std::to_string(fd) + ", errno=9)\n", LOG_INFO), 1);
    EXPECT_EQ(ComFifoClose(&info, fd), -1);
    EXPECT_EQ(info.iErrno, EBADF);
    EXPECT_EQ(log.Count("FifoClose failed(iFifoDescriptor=" + std::to_string(fd) + ", errno=9)\n", LOG_INFO), 1);
}

} // namespace
