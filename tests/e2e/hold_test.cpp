// Hold timing through the real service and the emulated device: twelve
// consecutive pressed polls, 250 ms apart, make one guard request; counts
// come from the device's own answers, never from the clock.
#include <algorithm>
#include <ostream>

#include "expect.h"

namespace {

constexpr const char kRequestLine[] = "gstLocalInfo.iPutTime=5000";

// Parent mode: the press event and the request both go to FifoPare.
class HoldTiming : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig_.SetParentMode(1);
        ASSERT_STARTED(rig_);
    }
    ::testing::AssertionResult Press()
    {
        if (!CrKeyEmuPress(rig_.Emu()))
            return ::testing::AssertionFailure() << "press not delivered";
        return Sent(rig_, KVO_PATH_FIFO_PARE, 356, Data({}));
    }
    // The iPutTime values logged after each pressed poll, in order.
    std::vector<int> PutTimes() const
    {
        std::vector<int> v;
        for (const auto &r : rig_.Log())
            if (r.text.rfind("gstLocalInfo.iPutTime=", 0) == 0)
                v.push_back(std::stoi(r.text.substr(22)));
        return v;
    }

    Rig rig_;
};

TEST_F(HoldTiming, ElevenPressedPollsAndAReleaseSendNothing)
{
    CrKeyEmuReleaseAfterPolls(rig_.Emu(), 11); // the twelfth poll finds it released
    ASSERT_TRUE(Press());
    ASSERT_TRUE(rig_.WaitPolls(12));
    EXPECT_TRUE(NothingSent(rig_));
    EXPECT_EQ(rig_.Stats().getStsCalls, 12u) << "polling went on after the release";
    EXPECT_TRUE(Logged(rig_, "guard button off", 7));
    std::vector<int> times = PutTimes();
    ASSERT_EQ(times.size(), 11u) << rig_.LogDump();
    EXPECT_EQ(times.front(), 2250);
    EXPECT_EQ(times.back(), 4750);
}

TEST_F(HoldTiming, TwelvePressedPollsSendOneRequestAndStop)
{
    ASSERT_TRUE(Press());
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_PARE, 563, Data({})));
    EXPECT_EQ(rig_.Stats().getStsCalls, 12u);
    EXPECT_TRUE(NothingSent(rig_)); // the button is still down
    EXPECT_EQ(rig_.Stats().getStsCalls, 12u) << "polling went on after the request";
    EXPECT_EQ(rig_.CountLog(kRequestLine, 7), 1);
}

TEST_F(HoldTiming, SecondPressByteRestartsTheCount)
{
    ASSERT_TRUE(Press());
    ASSERT_TRUE(rig_.WaitPolls(3));
    ASSERT_TRUE(Press());
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_PARE, 563, Data({})));
    EXPECT_TRUE(NothingSent(rig_));
    // The count went back to the start once, then ran twelve polls.
    std::vector<int> times = PutTimes();
    ASSERT_EQ(std::count(times.begin(), times.end(), 2250), 2) << rig_.LogDump();
    auto restart = std::find(times.begin() + 1, times.end(), 2250);
    EXPECT_EQ(times.end() - restart, 12);
    EXPECT_EQ(times.back(), 5000);
    EXPECT_GE(rig_.Stats().getStsCalls, 15u);
}

TEST_F(HoldTiming, SwitchingTheFunctionOffMidHoldStillCompletes)
{
    ASSERT_TRUE(Press());
    ASSERT_TRUE(rig_.WaitPolls(2));
    ASSERT_TRUE(rig_.Send(80, 413, Data({0})));
    ASSERT_TRUE(Logged(rig_, "function on/off change gstLocalInfo.iFuncFlg=0", 7));
    EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_PARE, 563, Data({})));
    EXPECT_LT(LogIndex(rig_, "function on/off change gstLocalInfo.iFuncFlg=0"), LogIndex(rig_, kRequestLine))
        << "the function went off only after the hold";
}

// Hold timing switched off: the press is still forwarded, nothing is polled.
struct Disabled {
    const char *name;
    char guardButton;
    uint8_t inhibit;
    bool functionOff; // 413 with 0 first
    const char *line;
    int pri;
};

void PrintTo(const Disabled &p, std::ostream *os)
{
    *os << p.name;
}

class HoldTimingDisabled : public ::testing::TestWithParam<Disabled> {};

TEST_P(HoldTimingDisabled, PressIsForwardedWithoutTiming)
{
    const Disabled &d = GetParam();
    Rig rig;
    rig.SetGuardButton(d.guardButton);
    rig.SetHoldInhibit(d.inhibit);
    ASSERT_STARTED(rig);
    if (d.functionOff) {
        ASSERT_TRUE(rig.Send(80, 413, Data({0})));
        ASSERT_TRUE(Logged(rig, "function on/off change gstLocalInfo.iFuncFlg=0", 7));
    }
    ASSERT_TRUE(CrKeyEmuPress(rig.Emu()));
    EXPECT_TRUE(Sent(rig, KVO_PATH_FIFO_EK, 356, Data({})));
    EXPECT_TRUE(Logged(rig, d.line, d.pri));
    EXPECT_TRUE(NothingSent(rig));
    EXPECT_EQ(rig.Stats().getStsCalls, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, HoldTimingDisabled,
    ::testing::Values(
        Disabled{"GuardButtonOff", '0', 0, false,
                 "GDBTReadFunc,guard button function off put guard button(pProcInfo->pConfigData->other.guard_button[0]=0x30)", 7},
        Disabled{"Inhibited", '1', 1, false, "00018,GDBTReadFunc,function off put guard button", 6},
        Disabled{"FunctionOff", '1', 0, true, "00018,GDBTReadFunc,function off put guard button", 6}),
    [](const ::testing::TestParamInfo<Disabled> &p) { return std::string(p.param.name); });

} // namespace
