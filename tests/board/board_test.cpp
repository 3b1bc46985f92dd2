// board_test.cpp - the pieces every simulated controller is built from.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/logfile.h"
#include "board/peer.h"
#include "board/root.h"
#include "board/segments.h"
#include "board/service.h"
#include "kvomessaging.h"
#include "kvosegments.h"

using namespace kvoboard;

TEST(LogLineTest, SplitsOnlyTheServiceShape)
{
    struct Case {
        const char *line;
        bool ok;
        int pri;
        const char *ident;
        int pid;
        const char *text;
    } cases[] = {
        {"<166>KVOGDBT[42]: end of InitProc", true, 166, "KVOGDBT", 42, "end of InitProc"},
        {"<3>X[1]: ", true, 3, "X", 1, ""},
        {"<3>X[1]: a]: b", true, 3, "X", 1, "a]: b"},
        {"plain text", false, 0, "", 0, ""},
        {"<x>KVOGDBT[42]: t", false, 0, "", 0, ""},
        {"<166>KVOGDBT[]: t", false, 0, "", 0, ""},
        {"<166>[42]: t", false, 0, "", 0, ""},
        {"<166>KVOGDBT[42]:t", false, 0, "", 0, ""},
        {"<166>KVOGDBT[42]", false, 0, "", 0, ""},
    };
    for (const Case &c : cases) {
        LogLine l;
        ASSERT_EQ(ParseLogLine(c.line, &l), c.ok) << c.line;
        if (!c.ok)
            continue;
        EXPECT_EQ(l.pri, c.pri) << c.line;
        EXPECT_EQ(l.ident, c.ident) << c.line;
        EXPECT_EQ(l.pid, c.pid) << c.line;
        EXPECT_EQ(l.text, c.text) << c.line;
    }
}

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(root_.Create("/tmp/kvoboard.XXXXXX", "", &error_)) << error_; }
    BoardRoot root_;
    std::string error_;
};

TEST_F(BoardTest, RootHoldsFoldersAndFreeKeys)
{
    struct stat st;
    EXPECT_EQ(stat(root_.Path(KVO_PATH_SHM_KEY).c_str(), &st), 0);
    ASSERT_TRUE(root_.MakeFifos(&error_)) << error_;
    ASSERT_TRUE(root_.MakeFifos(&error_)) << "FIFOs that exist are kept";
    ASSERT_EQ(stat(root_.Path(KVO_PATH_FIFO_FTP).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(shmget(root_.Key('c'), 0, 0), -1);
    EXPECT_EQ(shmget(root_.Key('o'), 0, 0), -1);
}

// A second root whose key file gives keys that a segment holds renews it.
TEST_F(BoardTest, KeyFileRenewedWhenTaken)
{
    BoardSegments taken;
    ASSERT_TRUE(taken.Create(root_, true, &error_)) << error_;
    key_t before = root_.Key('c');
    BoardRoot again; // the same folder, so the same key file
    ASSERT_TRUE(again.Create("", root_.Dir(), &error_)) << error_;
    EXPECT_NE(again.Key('c'), before);
    EXPECT_EQ(shmget(again.Key('c'), 0, 0), -1) << "the keys of the renewed file are free";
    EXPECT_EQ(shmget(again.Key('o'), 0, 0), -1);
    EXPECT_EQ(access((root_.Path(KVO_PATH_SHM_KEY) + ".taken0").c_str(), F_OK), 0);
}

TEST_F(BoardTest, SegmentsSetAndGetInsideOnly)
{
    BoardSegments seg;
    ASSERT_TRUE(seg.Create(root_, false, &error_)) << error_;
    EXPECT_FALSE(seg.Has(kOther));
    EXPECT_EQ(seg.GetByte(kConfig, KVO_CONFIG_GUARD_BUTTON_OFF), 0) << "starts zero";
    EXPECT_TRUE(seg.SetByte(kConfig, KVO_CONFIG_GUARD_BUTTON_OFF, '1'));
    EXPECT_EQ(seg.GetByte(kConfig, KVO_CONFIG_GUARD_BUTTON_OFF), '1');
    uint8_t two[2] = {1, 2};
    EXPECT_TRUE(seg.Set(kConfig, KVO_CONFIG_SIZE - 2, two, 2));
    EXPECT_FALSE(seg.Set(kConfig, KVO_CONFIG_SIZE - 1, two, 2));
    EXPECT_FALSE(seg.Set(kConfig, KVO_CONFIG_SIZE + 1, two, 0));
    EXPECT_FALSE(seg.SetByte(kOther, 0, 1)) << "OTHER missing";
    // The service sees the same bytes through the runtime's key.
    int id = shmget(root_.Key('c'), 0, 0);
    ASSERT_NE(id, -1);
    auto *p = static_cast<uint8_t *>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(p, reinterpret_cast<uint8_t *>(-1));
    EXPECT_EQ(p[KVO_CONFIG_GUARD_BUTTON_OFF], '1');
    shmdt(p);
    seg.Remove();
    EXPECT_EQ(shmget(root_.Key('c'), 0, 0), -1);
}

TEST_F(BoardTest, PeerFifoMovesWholeFrames)
{
    ASSERT_TRUE(root_.MakeFifo(KVO_PATH_FIFO_STS, &error_)) << error_;
    PeerFifo fifo;
    ASSERT_TRUE(fifo.Open(root_.Path(KVO_PATH_FIFO_STS), &error_)) << error_;
    uint8_t buf[FIFO_MSG_SIZE];
    EXPECT_EQ(fifo.ReadFrame(buf, Deadline(20)), 0u) << "nothing sent";
    uint8_t frame[FIFO_MSG_SIZE];
    const uint8_t d0 = 7;
    BuildFrame(frame, 52, 621, &d0, 1);
    ASSERT_TRUE(fifo.Write(frame, sizeof frame, Deadline(1000)));
    ASSERT_EQ(fifo.ReadFrame(buf, Deadline(1000)), sizeof buf);
    EXPECT_EQ(FrameId(buf), 52);
    EXPECT_EQ(FrameId(buf + 3), 621);
    EXPECT_EQ(buf[6], 7);
    EXPECT_EQ(buf[7], ' ');
}

TEST_F(BoardTest, LogFileGivesCompleteLinesOnce)
{
    std::string path = root_.Dir() + "/log";
    LogFile log;
    log.OpenFile(path);
    std::vector<std::string> lines;
    log.Read(&lines);
    EXPECT_TRUE(lines.empty()) << "no file yet";
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("<6>A[1]: one\n<6>A[1]: tw", f);
    std::fflush(f);
    log.Read(&lines);
    EXPECT_EQ(lines, std::vector<std::string>{"<6>A[1]: one"});
    std::fputs("o\n", f);
    std::fclose(f);
    log.Read(&lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"<6>A[1]: one", "<6>A[1]: two"}));
}

TEST(ServiceTest, ExitCodesAndKill)
{
    struct Case {
        const char *script;
        bool exited;
        int code;
    } cases[] = {{"exit 3", true, 3}, {"kill -TERM $$", false, 128 + 15}};
    for (const Case &c : cases) {
        BoardService svc;
        ServiceSpec launch;
        launch.path = "/bin/sh";
        launch.argv = {"sh", "-c", c.script};
        std::string error;
        ASSERT_TRUE(svc.Start(launch, &error)) << error;
        ASSERT_TRUE(svc.Wait(Deadline(30000))) << c.script;
        EXPECT_EQ(svc.Exited(), c.exited) << c.script;
        EXPECT_EQ(svc.Code(), c.code) << c.script;
    }
    BoardService svc;
    ServiceSpec launch;
    launch.path = "/bin/sh";
    launch.argv = {"sh", "-c", "test \"$BOARD_X\" = 1 && exec sleep 30"};
    launch.env = ProcessEnv({"BOARD_X"});
    SetEnv(&launch.env, "BOARD_X", "1");
    std::string error;
    ASSERT_TRUE(svc.Start(launch, &error)) << error;
    EXPECT_FALSE(svc.Start(launch, &error)) << "one at a time";
    EXPECT_FALSE(svc.Wait(Deadline(50))) << "the environment reached it";
    svc.Kill();
    EXPECT_TRUE(svc.Ended());
    EXPECT_EQ(svc.Signal(), 9);
}
