// What the rigs' verdicts rest on and no other test reaches: short frames at a peer counted as
// stray, and how the service process ended (status, signal; its environment).
#include <gtest/gtest.h>

#include <unistd.h>

#include "board/board.h"

using namespace kvoboard;

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
