// Start-up and shutdown of the real service: failures of the segments and
// the device, and the log level taken from the command line.
#include <cerrno>
#include <ostream>

#include "expect.h"

namespace {

// Start-up fails: report 001, a shutdown with its termination report, exit 1.
void ExpectFailedStartUp(Rig &rig, const std::string &why)
{
    ASSERT_EQ(rig.Error(), "");
    ASSERT_TRUE(rig.Start());
    EXPECT_EQ(rig.WaitExit(), 1) << rig.LogDump();
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STSP, 600, Data("0010312")));
    Frame f;
    ASSERT_TRUE(rig.WaitFrame(KVO_PATH_FIFO_STS, &f)) << rig.LogDump();
    EXPECT_EQ(f.cid, 605);
    EXPECT_EQ(f.data.substr(3), Data({}).substr(3)) << Describe(f);
    EXPECT_EQ(rig.CountLog(why, 6), 1) << rig.LogDump();
    EXPECT_LT(LogIndex(rig, why), LogIndex(rig, "initProc error (iRet=-1)"));
    EXPECT_EQ(rig.CountLog("initProc error (iRet=-1)", 6), 1) << rig.LogDump();
    EXPECT_EQ(rig.CountLog("start of TermProc", 6), 1) << rig.LogDump();
}

TEST(StartUp, MissingOtherSegmentFails)
{
    RigOptions options;
    options.makeOther = false;
    Rig rig(options);
    ExpectFailedStartUp(rig, "error of ComShmOpenRead(OTHER)");
    EXPECT_EQ(rig.Stats().opens, 0u); // the device comes after the segments
}

TEST(StartUp, FailingConfiguringRequestFails)
{
    Rig rig;
    CrKeyEmuSetFault(rig.Emu(), CrKeyFault::SetPollTime, EIO);
    ExpectFailedStartUp(rig, "00022,InitProcSub,ioctrl(Guard Button Driver CR_SETKEYPOLLTM) failed(errno=5(Input/output error))");
    EXPECT_EQ(rig.Stats().setPollCalls, 1u);
}

// A device that cannot be opened leaves a service that still obeys commands.
TEST(StartUp, DeviceThatDoesNotOpenLeavesCommandsWorking)
{
    Rig rig;
    CrKeyEmuSetFault(rig.Emu(), CrKeyFault::Open, ENODEV);
    ASSERT_STARTED(rig);
    EXPECT_TRUE(Logged(rig, "00021,InitProcSub,open(Guard Button Driver) failed(errno=19(No such device))"));
    EXPECT_EQ(rig.Stats().setPollCalls, 0u);
    ASSERT_TRUE(rig.Send(80, 901));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 621, Data({})));
    ASSERT_TRUE(rig.Send(80, 900, Data({1})));
    EXPECT_EQ(rig.WaitExit(), 0) << rig.LogDump();
    Frame f;
    ASSERT_TRUE(rig.WaitFrame(KVO_PATH_FIFO_STS, &f));
    EXPECT_EQ(f.cid, 605) << Describe(f);
}

TEST(StartUp, ConfiguresTheDeviceOnce)
{
    Rig rig;
    ASSERT_STARTED(rig);
    CrKeyEmuStats s = rig.Stats();
    EXPECT_EQ(s.opens, 1u);
    EXPECT_EQ(s.setPollCalls, 1u);
    EXPECT_EQ(s.lastPollTime, 40);
    EXPECT_EQ(s.getStsCalls, 0u); // no polling before a press
}

// The level argument: what reaches the log at each level.
struct Level {
    const char *name;
    const char *arg; // null: no level argument
    bool info;       // priority 6 lines expected
    bool debug;      // priority 7 lines expected
};

void PrintTo(const Level &p, std::ostream *os)
{
    *os << p.name;
}

class LogLevel : public ::testing::TestWithParam<Level> {};

TEST_P(LogLevel, MasksTheLog)
{
    const Level &l = GetParam();
    Rig rig;
    ASSERT_EQ(rig.Error(), "");
    std::string result;
    ASSERT_TRUE(rig.StartAndWait(&result, l.arg)) << rig.LogDump();
    EXPECT_EQ(result, "000");
    pid_t pid = rig.Pid();
    ASSERT_TRUE(rig.Send(80, 901));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 621, Data({})));
    ASSERT_TRUE(rig.Send(80, 900, Data({0})));
    EXPECT_EQ(rig.WaitExit(), 0) << rig.LogDump();

    int info = 0, debug = 0;
    for (const auto &r : rig.Log()) {
        EXPECT_EQ(r.pri & ~7, 160) << "facility of: " << r.text; // LOG_LOCAL4
        EXPECT_EQ(r.pid, pid) << r.text;
        info += (r.pri & 7) == 6;
        debug += (r.pri & 7) == 7;
        EXPECT_TRUE((r.pri & 7) == 6 || (r.pri & 7) == 7) << r.text;
    }
    EXPECT_EQ(info > 0, l.info) << rig.LogDump();
    EXPECT_EQ(debug > 0, l.debug) << rig.LogDump();
    if (l.info) {
        EXPECT_EQ(rig.CountLog("end of TermProc", 6), 1);
    }
    if (l.debug) {
        EXPECT_EQ(rig.CountLog("end of GdbtProcess", 7), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, LogLevel,
                         ::testing::Values(Level{"Seven", "7", true, true}, Level{"Six", "6", true, false},
                                           Level{"Zero", "0", false, false}, Level{"Word", "debug", false, false}),
                         [](const ::testing::TestParamInfo<Level> &p) { return std::string(p.param.name); });

// What level to use without the argument is the service's choice; it must
// run and end like any other start.
TEST(StartUp, RunsWithoutALevelArgument)
{
    Rig rig;
    ASSERT_EQ(rig.Error(), "");
    std::string result;
    ASSERT_TRUE(rig.StartAndWait(&result, nullptr)) << rig.LogDump();
    EXPECT_EQ(result, "000");
    ASSERT_TRUE(rig.Send(80, 901));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 621, Data({})));
    ASSERT_TRUE(rig.Send(80, 900, Data({0})));
    EXPECT_EQ(rig.WaitExit(), 0) << rig.LogDump();
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 605, Data("000")));
}

} // namespace
