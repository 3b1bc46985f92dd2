// ComFIFOPutData2: the frame on the wire, the three attempts, and the bound
// on every wait for a reader or for room.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "kvoroot.h"
#include "msgtest.h"

namespace {

// Far above KVO_SEND_TIMEOUT_MS, even under emulation: only a send that
// waits without bound exceeds it.
constexpr double kBoundSeconds = 5.0;

class FifoSend : public ::testing::Test {
protected:
    KvoRoot root;
    LogCapture log;
    std::string sts = FIFO_NAME_STS;
    std::string data = Data("0000312");
};

TEST_F(FifoSend, LivePeerReceivesTheExactFrame)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_STSP));
    FifoPeer peer(FIFO_NAME_STSP);
    std::string bytes = Data(std::string("\0\x01\xfe", 3) + "x");
    EXPECT_EQ(ComFIFOPutData2(FIFO_NAME_STSP, 52, 600, data.data()), 0);
    EXPECT_EQ(ComFIFOPutData2(FIFO_NAME_STSP, 0, 7, bytes.data()), 0);
    EXPECT_EQ(peer.ReadAll(), "052600" + data + "000007" + bytes);
    EXPECT_TRUE(log.Lines().empty()) << log.Dump(); // no traces, no errors
}

TEST_F(FifoSend, MissingPathFailsThreeTimesAndCreatesNothing)
{
    EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 52, 605, data.data()), -1);
    EXPECT_EQ(log.Count(ReadOpenError(sts, ENOENT), LOG_INFO), 3) << log.Dump();
    EXPECT_EQ(log.Lines().size(), 3u);
    EXPECT_FALSE(Exists(sts));
}

TEST_F(FifoSend, RegularFileIsRefusedAndLeftAlone)
{
    {
        int fd = open(sts.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(write(fd, "keep", 4), 4);
        close(fd);
    }
    EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 52, 605, data.data()), -1);
    EXPECT_EQ(log.Count(WriteOpenError(sts, EINVAL), LOG_INFO), 3) << log.Dump();
    EXPECT_EQ(ReadFile(sts), "keep");
}

TEST_F(FifoSend, IdsOutsideThreeDigitsAreRefusedBeforeAnyAttempt)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_STS));
    FifoPeer peer(sts.c_str());
    const struct {
        int mid, cid;
    } cases[] = {{-1, 605}, {1000, 605}, {52, -1}, {52, 1000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.mid) + "/" + std::to_string(c.cid));
        log.Clear();
        EXPECT_EQ(ComFIFOPutData2(sts.c_str(), c.mid, c.cid, data.data()), -1);
        std::string line = "FIFO id error (fifo=" + sts + ", mid=" + std::to_string(c.mid) +
                           ", cid=" + std::to_string(c.cid) + ")\n";
        EXPECT_EQ(log.Count(line, LOG_INFO), 1) << log.Dump();
        EXPECT_EQ(log.Lines().size(), 1u);
    }
    EXPECT_EQ(peer.ReadAll(), "");
    // The edges of the range are fine.
    EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 0, 999, data.data()), 0);
    EXPECT_EQ(peer.ReadAll(), "000999" + data);
}

// The FIFO appears, with a reader, as the first failure is logged: the
// second attempt delivers, and the send counts as a success.
TEST(FifoSendRetry, SecondAttemptSucceedsAfterOneFailure)
{
    KvoRoot root;
    const std::string sts = FIFO_NAME_STS;
    const std::string data = Data("001");
    int reader = -1;
    LogHook hook([&](int, const std::string &text) {
        if (text == ReadOpenError(sts, ENOENT) && reader < 0) {
            mkfifo(sts.c_str(), 0666);
            reader = open(sts.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
    });
    EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 52, 605, data.data()), 0);
    EXPECT_EQ(hook.Count(ReadOpenError(sts, ENOENT)), 1) << hook.Dump();
    ASSERT_GE(reader, 0);
    char buf[2 * FIFO_MSG_SIZE];
    EXPECT_EQ(read(reader, buf, sizeof buf), FIFO_MSG_SIZE); // delivered once
    EXPECT_EQ(std::string(buf, FIFO_MSG_SIZE), "052605" + data);
    close(reader);
}

class FifoSendBounded : public FifoSend {};

// Nobody holds the FIFO (its module is dead): every attempt fails at the
// append open with ENXIO, and the whole send ends within its budget.
TEST_F(FifoSendBounded, DeadPeer)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_STS));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 52, 605, data.data()), -1);
    EXPECT_LT(SecondsSince(t0), kBoundSeconds);
    EXPECT_EQ(log.Count(WriteOpenError(sts, ENXIO), LOG_INFO), 3) << log.Dump();
    EXPECT_EQ(log.Lines().size(), 3u);
}

// The reader holds the FIFO but never reads: no room, and no partial frame
// is left behind.
TEST_F(FifoSendBounded, FullFifo)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_STS));
    FifoPeer peer(sts.c_str());
    int frames = peer.Fill();
    ASSERT_GT(frames, 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 52, 605, data.data()), -1);
    EXPECT_LT(SecondsSince(t0), kBoundSeconds);
    EXPECT_EQ(log.Count(WriteError(sts, EAGAIN), LOG_INFO), 3) << log.Dump();
    EXPECT_EQ(peer.ReadAll().size(), static_cast<size_t>(frames) * FIFO_MSG_SIZE);
}

// Within the budget the send does wait: for room that a slow reader makes,
// and for a reader that opens a little late.
TEST_F(FifoSendBounded, WaitsForRoomAndForAReader)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_STS));
    {
        FifoPeer peer(sts.c_str());
        int frames = peer.Fill();
        // A pipe frees room a page at a time: take sixteen frames.
        constexpr size_t kTaken = 16 * FIFO_MSG_SIZE;
        std::thread reader([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            char buf[kTaken];
            (void)!read(peer.Fd(), buf, sizeof buf);
        });
        EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 52, 605, data.data()), 0);
        reader.join();
        std::string rest = peer.ReadAll();
        ASSERT_EQ(rest.size(), static_cast<size_t>(frames + 1) * FIFO_MSG_SIZE - kTaken);
        EXPECT_EQ(rest.substr(rest.size() - FIFO_MSG_SIZE), "052605" + data);
    }
    int late = -1;
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        late = open(sts.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    });
    EXPECT_EQ(ComFIFOPutData2(sts.c_str(), 52, 605, data.data()), 0);
    opener.join();
    ASSERT_GE(late, 0);
    char buf[FIFO_MSG_SIZE];
    EXPECT_EQ(read(late, buf, sizeof buf), FIFO_MSG_SIZE);
    close(late);
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

} // namespace
