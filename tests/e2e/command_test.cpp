// The status and parent modules' commands through the real service:
// termination, the alive check, the repeated start-up report, function
// on/off, format errors, and a command FIFO whose writers come and go.
#include <chrono>
#include <ostream>
#include <thread>

#include "expect.h"

namespace {

struct Termination {
    const char *name;
    int data0;
    bool functionOff;
};

void PrintTo(const Termination &p, std::ostream *os)
{
    *os << p.name;
}

class TerminationOrder : public ::testing::TestWithParam<Termination> {};

TEST_P(TerminationOrder, EndsTheServiceWithTheReportAndStatusZero)
{
    const Termination &t = GetParam();
    Rig rig;
    ASSERT_STARTED(rig);
    if (t.functionOff) {
        ASSERT_TRUE(rig.Send(80, 413, Data({0})));
        ASSERT_TRUE(Logged(rig, "function on/off change gstLocalInfo.iFuncFlg=0", 7));
    }
    ASSERT_TRUE(rig.Send(80, 900, Data({t.data0})));
    EXPECT_EQ(rig.WaitExit(), 0) << rig.LogDump();
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 605, Data("000")));
    int reboot = LogIndex(rig, "Terminate reBoot");
    int end = LogIndex(rig, "end of TermProc");
    EXPECT_GE(reboot, 0) << rig.LogDump();
    EXPECT_GT(end, reboot);
    EXPECT_EQ(rig.CountLog("end of TermProc", 6), 1);
    EXPECT_TRUE(NothingSent(rig, 0));
}

INSTANTIATE_TEST_SUITE_P(E2e, TerminationOrder,
                         ::testing::Values(Termination{"Data0", 0, false}, Termination{"Data1", 1, false},
                                           Termination{"Data0FunctionOff", 0, true}),
                         [](const ::testing::TestParamInfo<Termination> &p) { return std::string(p.param.name); });

TEST(StatusCommands, AnswerRepeatAndRefuseBadTermination)
{
    Rig rig;
    ASSERT_STARTED(rig);
    ASSERT_TRUE(rig.Send(80, 901));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 621, Data({})));
    ASSERT_TRUE(rig.Send(80, 902));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STSP, 600, Data("0000312")));
    ASSERT_TRUE(rig.Send(80, 900, Data({5})));
    EXPECT_TRUE(Logged(rig, FormatError(1, 80, 900, 5)));
    ASSERT_TRUE(rig.Send(80, 901)); // still serving
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 621, Data({})));
    EXPECT_TRUE(NothingSent(rig, 300));
    EXPECT_EQ(rig.WaitExit(0), -1) << "the service ended";
}

// With the function off, only the status module's own commands (not 410)
// are served; everything else is logged with 00015 and dropped.
TEST(FunctionOnOff, OffFiltersEverythingButStatusCommands)
{
    Rig rig;
    ASSERT_STARTED(rig);
    ASSERT_TRUE(rig.Send(80, 413, Data({0})));
    ASSERT_TRUE(Logged(rig, "function on/off change gstLocalInfo.iFuncFlg=0", 7));
    ASSERT_TRUE(rig.Send(71, 411));
    ASSERT_TRUE(rig.Send(80, 410, Data({' ', ' ', 1})));
    ASSERT_TRUE(rig.Send(71, 412, Data({2})));
    EXPECT_TRUE(Logged(rig, "00015,FifoReadFunc,function off receive message(iMod_id:071/iCmd_id:411/data[0]:0x20)"));
    EXPECT_TRUE(Logged(rig, "00015,FifoReadFunc,function off receive message(iMod_id:080/iCmd_id:410/data[0]:0x20)"));
    EXPECT_TRUE(Logged(rig, "00015,FifoReadFunc,function off receive message(iMod_id:071/iCmd_id:412/data[0]:0x2)"));
    ASSERT_TRUE(rig.Send(80, 901));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 621, Data({})));
    EXPECT_TRUE(NothingSent(rig, 300));

    ASSERT_TRUE(rig.Send(80, 413, Data({2})));
    EXPECT_TRUE(Logged(rig, FormatError(2, 80, 413, 2)));
    ASSERT_TRUE(rig.Send(80, 413, Data({1})));
    ASSERT_TRUE(Logged(rig, "function on/off change gstLocalInfo.iFuncFlg=1", 7));
    ASSERT_TRUE(rig.Send(71, 411));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 454, Data("052")));
    EXPECT_EQ(rig.CountLogPrefix("00015,"), 3);
}

// Frames that fit no branch: one numbered message each, nothing sent.
struct BadFrame {
    int number;
    int mid;
    int cid;
    int data0;
};

void ExpectFormatErrors(int32_t parentMode, std::initializer_list<BadFrame> frames)
{
    Rig rig;
    rig.SetParentMode(parentMode);
    ASSERT_STARTED(rig);
    for (const auto &f : frames) {
        SCOPED_TRACE(FormatError(f.number, f.mid, f.cid, f.data0));
        ASSERT_TRUE(rig.Send(f.mid, f.cid, Data({f.data0})));
        EXPECT_TRUE(Logged(rig, FormatError(f.number, f.mid, f.cid, f.data0)));
    }
    EXPECT_TRUE(NothingSent(rig));
    EXPECT_EQ(rig.WaitExit(0), -1) << "the service ended";
}

TEST(FormatErrors, DirectMode)
{
    ExpectFormatErrors(0, {{1, 80, 900, 2},
                           {1, 80, 900, 0xff},
                           {2, 80, 413, 7},
                           {3, 80, 999, ' '},
                           {3, 80, 567, ' '},
                           {10, 71, 412, 0},
                           {10, 20, 151, ' '},
                           {10, 81, 410, 1}});
}

TEST(FormatErrors, ParentMode)
{
    ExpectFormatErrors(1, {{14, 71, 411, ' '}, {14, 80, 410, ' '}, {14, 40, 255, 0}, {3, 80, 410 + 1, ' '}});
}

// Once no process holds the command FIFO open for writing, reads there end
// at once; the service must neither spin on that nor stop serving.
TEST(CommandWriters, WriterLeavesAndANewOneComes)
{
    Rig rig;
    ASSERT_STARTED(rig);
    rig.CloseCommandWriter();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double cpu0 = rig.CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double cpu = rig.CpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_GE(cpu0, 0.0);
    EXPECT_LT(cpu, wall / 4) << "the service spins without a writer";
    EXPECT_EQ(rig.WaitExit(0), -1) << "the service ended\n" << rig.LogDump();

    ASSERT_TRUE(rig.OpenCommandWriter());
    ASSERT_TRUE(rig.Send(80, 901));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_STS, 621, Data({})));
    ASSERT_TRUE(rig.Send(80, 900, Data({0})));
    EXPECT_EQ(rig.WaitExit(), 0);
}

} // namespace
