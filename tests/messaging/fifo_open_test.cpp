// ComFifoCreateOpen: every kind, its flags, its retry and its errno.
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kvoroot.h"
#include "msgtest.h"

namespace {

class FifoCreateOpen : public ::testing::Test {
protected:
    KvoRoot root;
    ProcInfo info{};
    LogCapture log;
    std::string gdbt = FIFO_NAME_GDBT;
};

TEST_F(FifoCreateOpen, Kind0CreatesAFifoAndAcceptsAnExistingOne)
{
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ComFifoCreateOpen(&info, gdbt.c_str(), 0), 0);
        EXPECT_TRUE(IsFifo(gdbt));
    }
    EXPECT_EQ(log.Count("mkfifo success(" + gdbt + ")\n", LOG_DEBUG), 2) << log.Dump();
    EXPECT_TRUE(log.AtPriority(LOG_INFO).empty()) << log.Dump();
}

struct Kind0Failure {
    const char *name;
    std::string (*path)(const KvoRoot &);
    int err;
};

TEST_F(FifoCreateOpen, Kind0Failures)
{
    const Kind0Failure cases[] = {
        {"missing parent", [](const KvoRoot &r) { return r.Dir() + "/nodir/FifoX"; }, ENOENT},
        // A regular file under the name is not the FIFO the caller needs.
        {"regular file", [](const KvoRoot &) { return std::string(FIFO_NAME_STS); }, EEXIST},
    };
    close(open(FIFO_NAME_STS, O_WRONLY | O_CREAT, 0644));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        std::string path = c.path(root);
        EXPECT_EQ(ComFifoCreateOpen(&info, path.c_str(), 0), -1);
        EXPECT_EQ(info.iErrno, c.err);
        EXPECT_EQ(log.Count("mkfifo failed(" + path + ", errno=" + std::to_string(c.err) + ")\n", LOG_INFO), 1)
            << log.Dump();
    }
}

struct OpenCase {
    int kind;
    int accessMode;
    bool nonBlocking;
    const char *dir; // "read", "write", "RW"
};

const OpenCase kOpenCases[] = {
    {1, O_RDONLY, false, "read"}, {2, O_RDONLY, true, "read"},   {3, O_RDONLY, true, "read"},
    {4, O_WRONLY, false, "write"}, {5, O_WRONLY, true, "write"}, {6, O_RDWR, true, "RW"},
};

// A peer holding the FIFO for reading and writing satisfies every kind at once.
TEST_F(FifoCreateOpen, EveryKindOpensWithItsFlags)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_GDBT));
    FifoPeer peer(gdbt.c_str());
    for (const auto &c : kOpenCases) {
        SCOPED_TRACE(c.kind);
        log.Clear();
        int fd = ComFifoCreateOpen(&info, gdbt.c_str(), c.kind);
        ASSERT_GE(fd, 0) << log.Dump();
        int fl = fcntl(fd, F_GETFL);
        EXPECT_EQ(fl & O_ACCMODE, c.accessMode);
        EXPECT_EQ((fl & O_NONBLOCK) != 0, c.nonBlocking);
        EXPECT_EQ(log.Count(std::string("start of open ") + c.dir + "(" + gdbt + ")\n", LOG_DEBUG), 1);
        EXPECT_EQ(log.Count(std::string("open FifoDescriptor(") + c.dir + ") = " + std::to_string(fd) + "\n",
                            LOG_DEBUG),
                  1);
        EXPECT_EQ(log.Count("end of ComFifoCreate()\n", LOG_DEBUG), 1);
        close(fd);
    }
}

struct OpenFailure {
    int kind;
    bool fifoExists;
    int err;
    const char *dir;
};

TEST_F(FifoCreateOpen, FailuresStoreErrnoWithoutRetry)
{
    const OpenFailure cases[] = {
        {1, false, ENOENT, "read"}, {2, false, ENOENT, "read"}, {3, false, ENOENT, "read"},
        {6, false, ENOENT, "RW"},   {5, true, ENXIO, "write"},  // exists, but nobody reads it
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        unlink(gdbt.c_str());
        if (c.fifoExists) {
            ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_GDBT));
        }
        log.Clear();
        info.iErrno = 0;
        EXPECT_EQ(ComFifoCreateOpen(&info, gdbt.c_str(), c.kind), -1);
        EXPECT_EQ(info.iErrno, c.err);
        EXPECT_EQ(log.Count(std::string("open(") + c.dir + ") failed(" + gdbt + ", errno=" + std::to_string(c.err) +
                                ")\n",
                            LOG_INFO),
                  1)
            << log.Dump();
        EXPECT_EQ(log.Count("sleep() of open(" + gdbt + ")\n"), 0);
    }
}

// Kinds 4 and 5 wait for the FIFO to appear.  The FIFO and a reader are made
// from the first "sleep()" line, so exactly one pause happens.
TEST(FifoCreateOpenRetry, WriteKindsWaitUntilTheFifoExists)
{
    for (int kind : {4, 5}) {
        SCOPED_TRACE(kind);
        KvoRoot root;
        ProcInfo info{};
        const std::string path = FIFO_NAME_GDBT;
        int reader = -1;
        int fd;
        {
            LogHook hook([&](int, const std::string &text) {
                if (text == "sleep() of open(" + path + ")\n" && reader < 0) {
                    mkfifo(path.c_str(), 0666);
                    reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                }
            });
            fd = ComFifoCreateOpen(&info, path.c_str(), kind);
            EXPECT_EQ(hook.Count("sleep() of open(" + path + ")\n", LOG_DEBUG), 1) << hook.Dump();
            EXPECT_EQ(hook.Count("start of open write(" + path + ")\n", LOG_DEBUG), 2);
        }
        ASSERT_GE(reader, 0);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
        close(fd);
        close(reader);
    }
}

TEST_F(FifoCreateOpen, UnknownKindLeavesErrnoAlone)
{
    for (int kind : {7, -1}) {
        SCOPED_TRACE(kind);
        log.Clear();
        info.iErrno = 1234;
        EXPECT_EQ(ComFifoCreateOpen(&info, gdbt.c_str(), kind), -1);
        EXPECT_EQ(info.iErrno, 1234);
        EXPECT_EQ(log.Count("error of kind(" + std::to_string(kind) + ")\n", LOG_INFO), 1) << log.Dump();
    }
    EXPECT_FALSE(Exists(gdbt));
}

} // namespace
