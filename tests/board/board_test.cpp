// board_test.cpp - what only the simulated board itself reaches: log lines
// of other shapes, a key file whose keys are taken, segment bounds, short
// frames at a peer, and how the service process ended.
#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include "board/board.h"
#include "kvosegments.h"

using namespace kvoboard;

TEST(BoardLog, SplitsOnlyTheServiceShape)
{
    LogLine l;
    ASSERT_TRUE(ParseLogLine("<166>KVOGDBT[42]: a]: b", &l));
    EXPECT_EQ(l.pri, 166);
    EXPECT_EQ(l.ident, "KVOGDBT");
    EXPECT_EQ(l.pid, 42);
    EXPECT_EQ(l.text, "a]: b");
    for (const char *bad : {"plain", "<x>K[1]: t", "<6>K[]: t", "<6>[1]: t", "<6>K[1]:t", "<6>K[1]"})
        EXPECT_FALSE(ParseLogLine(bad, &l)) << bad;
}

TEST(BoardRoot, KeyFileRenewedWhenItsKeysAreTaken)
{
    Board first;
    BoardSetup setup;
    setup.device = setup.commandWriter = false;
    std::string error;
    ASSERT_TRUE(first.Create(setup, &error)) << error;
    BoardRoot again; // the same folder, so at first the same key file
    ASSERT_TRUE(again.Create("", first.Dir(), &error)) << error;
    EXPECT_EQ(shmget(again.Key('c'), 0, 0), -1) << "the keys of the renewed file are free";
    EXPECT_EQ(shmget(again.Key('o'), 0, 0), -1);
    EXPECT_TRUE(first.Set(kConfig, KVO_CONFIG_SIZE - 2, "ab", 2));
    EXPECT_FALSE(first.Set(kConfig, KVO_CONFIG_SIZE - 1, "ab", 2));
    EXPECT_FALSE(first.Set(kOther, KVO_OTHER_SIZE + 1, "", 0));
}

TEST(BoardPeers, ShortFramesAreCountedAsStray)
{
    Board b;
    BoardSetup setup;
    setup.device = false;
    std::string error;
    ASSERT_TRUE(b.Create(setup, &error)) << error;
    auto frame = EncodeFrame(MakeFrame(MODID_GDBT, CMDID_ALIVE_ANS, {7}));
    ASSERT_EQ(write(b.Fd(KVO_PATH_FIFO_STS), frame.data(), 100), 100);
    EXPECT_FALSE(b.WaitCount(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, 2, 100));
    ASSERT_EQ(write(b.Fd(KVO_PATH_FIFO_STS), frame.data(), frame.size()), 256);
    Arrival a;
    ASSERT_TRUE(b.Next(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, 1000, &a));
    EXPECT_EQ(a.frame.data[0], 7);
    EXPECT_EQ(b.Stray(KVO_PATH_FIFO_STS), 100u);
    EXPECT_EQ(b.Arrivals().size(), 2u);
}

TEST(BoardService, ExitStatusSignalAndEnvironment)
{
    const struct {
        const char *script;
        int code;
    } cases[] = {{"exit 3", 3},
                 {"kill -TERM $$", 128 + 15},
                 {"test \"$BOARD_X\" = 1 && test -z \"$KVO_LOG_TARGET\"", 0}};
    for (const auto &c : cases) {
        Board b;
        BoardSetup setup;
        setup.device = false;
        Launch launch;
        launch.service = "/bin/sh";
        launch.wrap = {"sh", "-c", c.script};
        launch.env = {"BOARD_X=1"};
        launch.log = LogTo::Syslog;
        std::string error;
        ASSERT_TRUE(b.Create(setup, &error) && b.Start(launch, &error)) << error;
        ASSERT_TRUE(b.WaitExit(30000)) << c.script;
        EXPECT_EQ(b.Process().Code(), c.code) << c.script;
    }
}
