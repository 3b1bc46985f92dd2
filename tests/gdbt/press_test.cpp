// The guard button: press events read from a pipe standing in for the
// device, whether a press starts the hold timing, the guard request of a
// completed hold, and the failure paths of the device and the hold timer.
#include <csignal>
#include <cstdio>

#include "gdbtfixture.h"

namespace {

constexpr KvoPathId STS = KVO_PATH_FIFO_STS, PARE = KVO_PATH_FIFO_PARE, AUTH = KVO_PATH_FIFO_AUTH,
                    EK = KVO_PATH_FIFO_EK;

// With the hold timer registered as at start-up.  Its signal is ignored
// here: these tests look at the slot's state, not at expiries.
class HoldTest : public GdbtTest {
protected:
    void SetUp() override
    {
        GdbtTest::SetUp();
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigaction(SIGUSR1, &ign, &savedUsr1_);
        ComSelectFdzero(&p_);
        ASSERT_NE(GdbtHoldTimerSet(&p_), -1);
    }
    void TearDown() override
    {
        EXPECT_EQ(ComTimerDelete(&p_), 0);
        sigaction(SIGUSR1, &savedUsr1_, nullptr);
        GdbtTest::TearDown();
    }
    void Press(int byte)
    {
        unsigned char b = static_cast<unsigned char>(byte);
        ASSERT_EQ(write(in_[1], &b, 1), 1);
        EXPECT_EQ(GDBTReadFunc(&p_), 0);
    }
    bool Timing() const { return p_.TimerCntInfo[0].iTimerState == 1; }

    struct sigaction savedUsr1_ {};
};

TEST_F(HoldTest, PressIsForwardedToParentOrEkByMode)
{
    SetParentMode(7);
    Press(1);
    ExpectSent({{PARE, 356, ""}});
    SetParentMode(0);
    Press(1);
    ExpectSent({{EK, 356, ""}});
    EXPECT_EQ(log_.Count("iReadcnt = 1\n", LOG_DEBUG), 2) << log_.Dump();
}

struct HoldCase {
    const char *name;
    char guardButton;
    int funcFlg;
    unsigned char inhibit;
    bool starts;
    const char *line; // logged instead of starting, with its priority
    int priority;
};
void PrintTo(const HoldCase &c, std::ostream *os) { *os << c.name; }


class HoldStart : public HoldTest, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(HoldStart, DependsOnGuardButtonFunctionAndInhibit)
{
    const HoldCase &c = GetParam();
    config_[KVO_CONFIG_GUARD_BUTTON_OFF] = static_cast<unsigned char>(c.guardButton);
    other_[KVO_OTHER_HOLD_INHIBIT_OFF] = c.inhibit;
    gstLocalInfo.iFuncFlg = c.funcFlg;
    gstLocalInfo.iPutTime = 3000; // as if a hold were half done

    Press(1);

    ExpectSent({{EK, 356, ""}}); // forwarded in every case
    EXPECT_EQ(Timing(), c.starts);
    EXPECT_EQ(gstLocalInfo.iPutTime, c.starts ? GDBT_PUT_TIME_IDLE : 3000);
    if (c.line != nullptr) {
        EXPECT_EQ(log_.Count(c.line, c.priority), 1) << log_.Dump();
    }
    EXPECT_EQ(log_.Count("00018,GDBTReadFunc,function off put guard button\n", LOG_INFO),
              c.line != nullptr && c.priority == LOG_INFO ? 1 : 0);
}

const char kFunctionOffDebug[] =
    "GDBTReadFunc,guard button function off put guard button(pProcInfo->pConfigData->other.guard_button[0]=0x30)\n";
const char k00018[] = "00018,GDBTReadFunc,function off put guard button\n";

INSTANTIATE_TEST_SUITE_P(
    Press, HoldStart,
    ::testing::Values(HoldCase{"Enabled", '1', 1, 0, true, nullptr, 0},
                      HoldCase{"GuardButtonOff", '0', 1, 0, false, kFunctionOffDebug, LOG_DEBUG},
                      HoldCase{"GuardButtonOffBeatsFunctionOff", '0', 0, 1, false, kFunctionOffDebug, LOG_DEBUG},
                      HoldCase{"FunctionOff", '1', 0, 0, false, k00018, LOG_INFO},
                      HoldCase{"Inhibited", '1', 1, 0x80, false, k00018, LOG_INFO}),
    [](const ::testing::TestParamInfo<HoldCase> &i) { return std::string(i.param.name); });

TEST_F(HoldTest, SecondPressRestartsTheHold)
{
    Press(1);
    ASSERT_TRUE(Timing());
    gstLocalInfo.iPutTime = 4500;
    Press(1);
    EXPECT_TRUE(Timing());
    EXPECT_EQ(gstLocalInfo.iPutTime, GDBT_PUT_TIME_IDLE);
}

TEST_F(HoldTest, FailedStateReadAbandonsTheHold)
{
    Press(1);
    ASSERT_TRUE(Timing());
    ASSERT_EQ(ComTimerCancel(&p_, p_.TimerCntInfo[0].iTimerSelectDes[1]), 0); // as after an expiry
    p_.iIoReadDes[0] = in_[0]; // a pipe answers no driver request
    gstLocalInfo.iPutTime = 4750;

    EXPECT_EQ(TimeUpFunc(&p_), 0);

    EXPECT_EQ(gstLocalInfo.iPutTime, GDBT_PUT_TIME_IDLE);
    EXPECT_FALSE(Timing());
    std::vector<std::string> info = Info();
    ASSERT_EQ(info.size(), 1u) << log_.Dump();
    EXPECT_EQ(info[0].rfind("00026,BtnStsGetFunc,ioctl failed(errno=", 0), 0u) << info[0];
    ExpectSent({{EK, 356, ""}}); // the press only: no guard request
    ExpectEveryStartEnded();
}

struct ByteCase {
    const char *name;
    int byte;
    const char *line;
};
void PrintTo(const ByteCase &c, std::ostream *os) { *os << c.name; }


class UnexpectedByte : public HoldTest, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(UnexpectedByte, IsLoggedAndDropped)
{
    Press(GetParam().byte);
    EXPECT_EQ(Info(), std::vector<std::string>{GetParam().line});
    EXPECT_EQ(log_.Count("iReadcnt = 1\n", LOG_DEBUG), 1) << log_.Dump();
    EXPECT_FALSE(Timing());
    ExpectSent({});
    ExpectEveryStartEnded();
}

INSTANTIATE_TEST_SUITE_P(
    Device, UnexpectedByte,
    ::testing::Values(ByteCase{"Zero", 0, "00019,GDBTReadFunc,Error Guard Button Read Data[0]= 0x0\n"},
                      ByteCase{"Two", 2, "00019,GDBTReadFunc,Error Guard Button Read Data[0]= 0x2\n"},
                      ByteCase{"High", 0xff, "00019,GDBTReadFunc,Error Guard Button Read Data[0]= 0xff\n"}),
    [](const ::testing::TestParamInfo<ByteCase> &i) { return std::string(i.param.name); });

using DeviceRead = GdbtTest;

TEST_F(DeviceRead, ZeroBytesLogsTheCount)
{
    close(in_[1]);
    in_[1] = -1;
    EXPECT_EQ(GDBTReadFunc(&p_), 0);
    EXPECT_EQ(Info(), std::vector<std::string>{"00020,GDBTReadFunc,Error Guard Button Read Count= 0\n"});
    EXPECT_EQ(log_.Count("iReadcnt = 0\n", LOG_DEBUG), 1) << log_.Dump();
    ExpectSent({});
    ExpectEveryStartEnded();
}

TEST_F(DeviceRead, FailureLogsErrorThenCount)
{
    p_.iSelectDes = in_[1]; // reading the write end fails with EBADF
    EXPECT_EQ(GDBTReadFunc(&p_), 0);
    char first[200];
    std::snprintf(first, sizeof first,
                  "00016,GDBTReadFunc,Guard Button Driver Read failed(pProcInfo->iSelectDes=%d), errno=%d(%s)\n",
                  in_[1], EBADF, std::strerror(EBADF));
    EXPECT_EQ(Info(), (std::vector<std::string>{first, "00020,GDBTReadFunc,Error Guard Button Read Count= -1\n"}));
    // The count is traced before the two messages, which stay adjacent at
    // every level.
    const std::vector<LogLine> &lines = log_.Lines();
    auto at = std::find_if(lines.begin(), lines.end(), [&](const LogLine &l) { return l.text == first; });
    ASSERT_NE(at, lines.end());
    ASSERT_NE(at + 1, lines.end());
    EXPECT_EQ((at + 1)->text, "00020,GDBTReadFunc,Error Guard Button Read Count= -1\n") << log_.Dump();
    ASSERT_NE(at, lines.begin());
    EXPECT_EQ((at - 1)->text, "iReadcnt = -1\n") << log_.Dump();
    EXPECT_EQ((at - 1)->priority, LOG_DEBUG);
    ExpectSent({});
    ExpectEveryStartEnded();
}

// A device that keeps failing stays readable: after a run of reads without
// an event byte it is taken out of the list and the watched set, the other
// entries kept packed, so the loop neither spins nor floods the log.
TEST_F(DeviceRead, DeviceThatKeepsFailingIsNoLongerWatched)
{
    close(in_[1]);
    in_[1] = -1; // end of file on every read
    int idle[2];
    ASSERT_EQ(pipe(idle), 0);
    p_.iaSelectDes[0] = in_[0];
    p_.pSelectProc[0] = GDBTReadFunc;
    p_.iaSelectDes[1] = idle[0];
    p_.pSelectProc[1] = FifoReadFunc;
    FD_SET(in_[0], &p_.stSelectFds);
    FD_SET(idle[0], &p_.stSelectFds);
    p_.iMaxfd = in_[0] > idle[0] ? in_[0] : idle[0];

    int turns = 0;
    while (p_.iaSelectDes[1] != 0 && turns < 100) {
        ComSelect(&p_);
        ++turns;
    }
    EXPECT_EQ(turns, GDBT_DEVICE_FAIL_LIMIT);
    EXPECT_EQ(log_.Count("00020,GDBTReadFunc,Error Guard Button Read Count= 0\n", LOG_INFO),
              GDBT_DEVICE_FAIL_LIMIT);
    char line[120];
    std::snprintf(line, sizeof line, "GDBTReadFunc,guard button driver keeps failing, no longer watched(fd=%d)\n",
                  in_[0]);
    EXPECT_EQ(log_.Count(line, LOG_INFO), 1) << log_.Dump();
    EXPECT_EQ(p_.iaSelectDes[0], idle[0]);
    EXPECT_EQ(p_.pSelectProc[0], FifoReadFunc);
    EXPECT_FALSE(FD_ISSET(in_[0], &p_.stSelectFds));
    EXPECT_TRUE(FD_ISSET(idle[0], &p_.stSelectFds));
    ExpectSent({});
    close(idle[0]);
    close(idle[1]);
}

// A good event byte ends a run of failures.
TEST_F(DeviceRead, GoodReadEndsTheFailureCount)
{
    giDeviceReadFailures = GDBT_DEVICE_FAIL_LIMIT - 1;
    unsigned char b = GDBT_EVENT_PRESS;
    ASSERT_EQ(write(in_[1], &b, 1), 1);
    EXPECT_EQ(GDBTReadFunc(&p_), 0);
    EXPECT_EQ(giDeviceReadFailures, 0);
}

using HoldTimer = GdbtTest;

TEST_F(HoldTimer, FailuresOfStopAndStartAreLoggedInOrder)
{
    // No slot is registered: the handle matches nothing.
    gstLocalInfo.iPutTime = 3250;
    TimerStopFunc(&p_);
    EXPECT_EQ(gstLocalInfo.iPutTime, GDBT_PUT_TIME_IDLE);
    TimerStartFunc(&p_);
    std::vector<std::string> info = Info();
    std::vector<std::string> ours;
    for (const std::string &l : info)
        if (l.rfind("0002", 0) == 0)
            ours.push_back(l);
    EXPECT_EQ(ours, (std::vector<std::string>{"00025,TimerStopFunc,error of ComTimerCancel\n",
                                              "00024,TimerStartFunc,error of ComTimerStart\n"}))
        << log_.Dump();
}

struct RequestCase {
    const char *name;
    int32_t parent;
    char auth;
    int gdSts;
    std::vector<Sent> sent;
    int gdStsAfter;
    std::vector<std::string> info;
};
void PrintTo(const RequestCase &c, std::ostream *os) { *os << c.name; }


class GuardRequest : public GdbtTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(GuardRequest, GoesWhereModeAndFlagSay)
{
    const RequestCase &c = GetParam();
    SetParentMode(c.parent);
    SetAuthFlag(c.auth);
    gstLocalInfo.iGdSts = c.gdSts;
    PutGuardBtnFunc(&p_);
    EXPECT_EQ(gstLocalInfo.iGdSts, c.gdStsAfter);
    EXPECT_EQ(Info(), c.info) << log_.Dump();
    ExpectSent(c.sent);
}

const std::string kStsReq = "FIFO_NAME_STS, MY_ID, CMDID_IO_STSREQ\n";

INSTANTIATE_TEST_SUITE_P(
    Hold, GuardRequest,
    ::testing::Values(
        RequestCase{"Parent", 1, '0', 2, {{PARE, 563, ""}}, 1, {}},
        RequestCase{"DirectToAuth", 0, '5', 2, {{AUTH, 255, Head({0, 0})}}, 0, {}},
        RequestCase{"DirectIoStatus", 0, '0', 0, {{STS, 454, "052"}}, 1, {kStsReq}},
        RequestCase{"DirectIoStatusAgain", 0, '0', 1, {{STS, 454, "052"}}, 1, {kStsReq}},
        RequestCase{"DirectIoAwaited", 0, '0', 2, {}, 2,
                    {"00017,GDBTReadFunc,io response receive waiting(child):gstLocalInfo.iGdSts = 2\n"}}),
    [](const ::testing::TestParamInfo<RequestCase> &i) { return std::string(i.param.name); });

} // namespace
