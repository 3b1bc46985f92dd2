// The whole guard sequence through the real service: a press, the hold,
// the guard request, and the answers of the parent and status modules, in
// parent mode and in direct mode.
#include <ctime>

#include "expect.h"

namespace {

const std::string kDisplay = Data("0619 00000000");

// Presses and keeps the button down; the press event goes to pressFifo.
::testing::AssertionResult PressAndHold(Rig &rig, KvoPathId pressFifo)
{
    if (!CrKeyEmuPress(rig.Emu()))
        return ::testing::AssertionFailure() << "press not delivered";
    return Sent(rig, pressFifo, 356, Data({}));
}

// The guard log record: date and time of now, then byte values 4 and 0.
::testing::AssertionResult GuardLogRecord(Rig &rig)
{
    Frame f;
    if (!rig.WaitFrame(KVO_PATH_FIFO_LOG, &f))
        return ::testing::AssertionFailure() << "no guard log record\n" << rig.LogDump();
    if (f.mid != 52 || f.cid != 53)
        return ::testing::AssertionFailure() << "not a guard log record: " << Describe(f);
    std::string want = Data({});
    std::string stamp = f.data.substr(0, 14);
    want.replace(0, 14, stamp);
    want[16] = 4;
    want[17] = 0;
    if (f.data != want)
        return ::testing::AssertionFailure() << "record layout: " << Describe(f);
    std::tm tm{};
    if (strptime(stamp.c_str(), "%Y%m%d%H%M%S", &tm) == nullptr || stamp.find_first_not_of("0123456789") != std::string::npos)
        return ::testing::AssertionFailure() << "stamp " << stamp;
    tm.tm_isdst = -1;
    double off = std::difftime(std::mktime(&tm), std::time(nullptr));
    if (off < -120 || off > 120)
        return ::testing::AssertionFailure() << "stamp " << stamp << " is " << off << " s from now";
    return ::testing::AssertionSuccess();
}

// One 412 answer from the parent module to the guard request in parent mode.
struct ParentAnswer {
    int data0;
    bool display;    // 151 to the display module
    std::string log; // numbered message, or empty
};

TEST(GuardSequenceParentMode, EachAnswerToTheGuardRequest)
{
    const ParentAnswer answers[] = {
        {0, false, ""},
        {1, false, ""},
        {2, true, "00011,FifoReadFunc,LOOP SIGNAL OFF"},
        {7, false, FormatError(12, 71, 412, 7)},
    };
    Rig rig;
    rig.SetParentMode(1);
    ASSERT_STARTED(rig);
    for (const auto &a : answers) {
        SCOPED_TRACE("412 with data[0] " + std::to_string(a.data0));
        ASSERT_TRUE(PressAndHold(rig, KVO_PATH_FIFO_PARE));
        ASSERT_TRUE(Sent(rig, KVO_PATH_FIFO_PARE, 563, Data({})));
        ASSERT_TRUE(rig.Send(71, 412, Data({a.data0})));
        if (a.display) {
            EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_DISP, 151, kDisplay));
        }
        if (!a.log.empty()) {
            EXPECT_TRUE(Logged(rig, a.log));
        }
        // The answer ended the wait: a second one is out of turn.
        ASSERT_TRUE(rig.Send(71, 412, Data({0})));
        EXPECT_TRUE(Logged(rig, "00013,FifoReadFunc,gstLocalInfo.iGdSts = 0 receave PARE(iMod_id:071/iCmd_id:412/data[0]:0x0)"));
        EXPECT_TRUE(NothingSent(rig, 200));
    }
    EXPECT_EQ(rig.CountLogPrefix("00013,"), 4);
}

// Direct mode, authentication flag '0': the request asks the status module
// for the IO status, whose answer carries the loop signal in data[2].
class GuardSequenceDirectMode : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig_.SetAuthFlag('0');
        ASSERT_STARTED(rig_);
        ASSERT_TRUE(PressAndHold(rig_, KVO_PATH_FIFO_EK));
        ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_STS, 454, Data("052")));
        EXPECT_EQ(rig_.CountLog("FIFO_NAME_STS, MY_ID, CMDID_IO_STSREQ", 6), 1);
    }
    // The status module's answer; the loop state is in data[2].
    bool Answer(int loop) { return rig_.Send(80, 410, Data({' ', ' ', loop})); }
    void ExpectIdleAfterwards()
    {
        ASSERT_TRUE(Answer(1));
        EXPECT_TRUE(Logged(rig_, "00009,FifoReadFunc,gstLocalInfo.iGdSts = 0 receave IO(iMod_id:080/iCmd_id:410/data[0]:0x20)"));
        EXPECT_TRUE(NothingSent(rig_));
    }

    Rig rig_;
};

TEST_F(GuardSequenceDirectMode, LoopSignalOnNotifiesTheAuthenticationModule)
{
    ASSERT_TRUE(Answer(1));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_AUTH, 255, Data({1, 0})));
    EXPECT_TRUE(Logged(rig_, "iMod_id == MODID_STS && iCmd_id == CMDID_GDBT_CON_NTF"));
    ExpectIdleAfterwards();
}

TEST_F(GuardSequenceDirectMode, LoopSignalOffShowsTheMessageAndLogsTheGuard)
{
    ASSERT_TRUE(Answer(0));
    EXPECT_TRUE(Logged(rig_, "00005,FifoReadFunc,LOOP SIGNAL OFF"));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_DISP, 151, kDisplay));
    EXPECT_TRUE(GuardLogRecord(rig_));
    ExpectIdleAfterwards();
}

TEST_F(GuardSequenceDirectMode, OtherLoopStateIsAFormatError)
{
    ASSERT_TRUE(Answer(7));
    EXPECT_TRUE(Logged(rig_, FormatError(6, 80, 410, ' ')));
    ExpectIdleAfterwards();
}

// A second request while the first still waits asks again.
TEST_F(GuardSequenceDirectMode, RequestWhileWaitingIsSentAgain)
{
    ASSERT_TRUE(PressAndHold(rig_, KVO_PATH_FIFO_EK));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_STS, 454, Data("052")));
}

TEST(GuardSequenceDirectModeOtherFlag, RequestGoesStraightToAuthentication)
{
    Rig rig;
    rig.SetAuthFlag('5');
    ASSERT_STARTED(rig);
    ASSERT_TRUE(PressAndHold(rig, KVO_PATH_FIFO_EK));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_AUTH, 255, Data({0, 0})));
    // No answer is awaited.
    ASSERT_TRUE(rig.Send(80, 410, Data({' ', ' ', 1})));
    EXPECT_TRUE(Logged(rig, "00009,FifoReadFunc,gstLocalInfo.iGdSts = 0 receave IO(iMod_id:080/iCmd_id:410/data[0]:0x20)"));
    EXPECT_TRUE(NothingSent(rig));
}

// 411: the parent module asks for a guard in direct mode.
class ParentGuardRequest : public ::testing::Test {
protected:
    void Start(char flag)
    {
        rig_.SetAuthFlag(flag);
        ASSERT_STARTED(rig_);
    }
    bool Request() { return rig_.Send(71, 411, Data({})); }

    Rig rig_;
};

TEST_F(ParentGuardRequest, FlagZeroAsksForTheIoStatusThenNotifiesOnLoopOn)
{
    ASSERT_NO_FATAL_FAILURE(Start('0'));
    ASSERT_TRUE(Request());
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_STS, 454, Data("052")));
    ASSERT_TRUE(rig_.Send(80, 410, Data({' ', ' ', 1})));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_PARE, 567, Data({0})));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_AUTH, 255, Data({1, 1})));
    EXPECT_TRUE(NothingSent(rig_, 300));
}

TEST_F(ParentGuardRequest, FlagZeroLoopOffLogsTheGuardAndNotifiesTheParent)
{
    ASSERT_NO_FATAL_FAILURE(Start('0'));
    ASSERT_TRUE(Request());
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_STS, 454, Data("052")));
    ASSERT_TRUE(rig_.Send(80, 410, Data({' ', ' ', 0})));
    EXPECT_TRUE(Logged(rig_, "00007,FifoReadFunc,LOOP SIGNAL OFF"));
    EXPECT_TRUE(GuardLogRecord(rig_));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_PARE, 567, Data({2})));
    EXPECT_TRUE(NothingSent(rig_, 300));
}

TEST_F(ParentGuardRequest, FlagZeroOtherLoopStateSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(Start('0'));
    ASSERT_TRUE(Request());
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_STS, 454, Data("052")));
    ASSERT_TRUE(rig_.Send(80, 410, Data({' ', ' ', 9})));
    EXPECT_TRUE(Logged(rig_, FormatError(8, 80, 410, ' ')));
    EXPECT_TRUE(NothingSent(rig_));
}

// While the button's own request waits (state 1) the parent's request is
// refused; while the parent's waits (state 2) a guard hold sends nothing.
TEST_F(ParentGuardRequest, FlagZeroRequestsDoNotCrossEachOther)
{
    ASSERT_NO_FATAL_FAILURE(Start('0'));
    ASSERT_TRUE(PressAndHold(rig_, KVO_PATH_FIFO_EK));
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_STS, 454, Data("052")));
    ASSERT_TRUE(Request());
    EXPECT_TRUE(Logged(rig_, "00004,FifoReadFunc,io response receive waiting(guard button):gstLocalInfo.iGdSts = 1 receave IO(iMod_id:071/iCmd_id:411/data[0]:0x20)"));
    EXPECT_TRUE(NothingSent(rig_));

    ASSERT_TRUE(rig_.Send(80, 410, Data({' ', ' ', 1}))); // answers the button's request
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_AUTH, 255, Data({1, 0})));
    ASSERT_TRUE(Request());
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_STS, 454, Data("052")));
    ASSERT_TRUE(PressAndHold(rig_, KVO_PATH_FIFO_EK));
    EXPECT_TRUE(Logged(rig_, "00017,GDBTReadFunc,io response receive waiting(child):gstLocalInfo.iGdSts = 2"));
    EXPECT_TRUE(NothingSent(rig_));
}

TEST_F(ParentGuardRequest, OtherFlagNotifiesParentAndAuthenticationAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(Start('3'));
    ASSERT_TRUE(Request());
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_PARE, 567, Data({3})));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_AUTH, 255, Data({0, 1})));
    EXPECT_TRUE(NothingSent(rig_));
}

} // namespace
