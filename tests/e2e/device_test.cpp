// What the real service does with a device read that fails or brings an
// unexpected byte: numbered messages, nothing sent, and the device keeps
// working afterwards.
#include <cerrno>

#include "expect.h"

namespace {

class DeviceEvents : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_STARTED(rig_); }
    // A proper press still goes through afterwards.
    void ExpectDeviceStillWorks()
    {
        CrKeyEmuSetFault(rig_.Emu(), CrKeyFault::GetKeyState, EIO); // keep the hold short
        ASSERT_TRUE(CrKeyEmuPress(rig_.Emu()));
        EXPECT_TRUE(Sent(rig_, KVO_PATH_FIFO_EK, 356, Data({})));
    }
    // Index of the 00016 line with this errno text, or -1; the descriptor
    // in it is the service's own.
    int ReadFailedIndex(const std::string &errnoText) const
    {
        const std::string head = "00016,GDBTReadFunc,Guard Button Driver Read failed(pProcInfo->iSelectDes=";
        const std::string tail = "), errno=" + errnoText;
        auto log = rig_.Log();
        for (size_t i = 0; i < log.size(); ++i) {
            const std::string &t = log[i].text;
            if (t.rfind(head, 0) == 0 && t.size() > head.size() + tail.size() &&
                t.compare(t.size() - tail.size(), tail.size(), tail) == 0 && (log[i].pri & 7) == 6)
                return static_cast<int>(i);
        }
        return -1;
    }

    Rig rig_;
};

TEST_F(DeviceEvents, FailingReadLogsBothMessagesAndSendsNothing)
{
    CrKeyEmuSetFault(rig_.Emu(), CrKeyFault::Read, EIO);
    ASSERT_TRUE(CrKeyEmuSendByte(rig_.Emu(), 1));
    ASSERT_TRUE(Logged(rig_, "00020,GDBTReadFunc,Error Guard Button Read Count= -1"));
    int failed = ReadFailedIndex("5(Input/output error)");
    EXPECT_GE(failed, 0) << rig_.LogDump();
    EXPECT_LT(failed, LogIndex(rig_, "00020,GDBTReadFunc,Error Guard Button Read Count= -1"));
    EXPECT_EQ(rig_.CountLogPrefix("00016,"), 1);
    EXPECT_TRUE(NothingSent(rig_));
    EXPECT_EQ(rig_.Stats().getStsCalls, 0u);
    ExpectDeviceStillWorks();
}

TEST_F(DeviceEvents, EmptyReadLogsTheCountOnly)
{
    CrKeyEmuSetFault(rig_.Emu(), CrKeyFault::Read, -1);
    ASSERT_TRUE(CrKeyEmuSendByte(rig_.Emu(), 1));
    ASSERT_TRUE(Logged(rig_, "00020,GDBTReadFunc,Error Guard Button Read Count= 0"));
    EXPECT_EQ(rig_.CountLogPrefix("00016,"), 0);
    EXPECT_TRUE(NothingSent(rig_));
    ExpectDeviceStillWorks();
}

TEST_F(DeviceEvents, BytesOtherThanOneAreRefused)
{
    for (int byte : {0, 2}) {
        ASSERT_TRUE(CrKeyEmuSendByte(rig_.Emu(), static_cast<uint8_t>(byte)));
        char line[64];
        std::snprintf(line, sizeof line, "00019,GDBTReadFunc,Error Guard Button Read Data[0]= 0x%x", byte);
        EXPECT_TRUE(Logged(rig_, line));
    }
    EXPECT_TRUE(NothingSent(rig_));
    EXPECT_EQ(rig_.Stats().getStsCalls, 0u);
    ExpectDeviceStillWorks();
}

// A failing state read during a hold ends it like a release.
TEST_F(DeviceEvents, FailingStateReadAbandonsTheHold)
{
    CrKeyEmuSetFault(rig_.Emu(), CrKeyFault::GetKeyState, EIO);
    ASSERT_TRUE(CrKeyEmuPress(rig_.Emu()));
    ASSERT_TRUE(Sent(rig_, KVO_PATH_FIFO_EK, 356, Data({})));
    EXPECT_TRUE(Logged(rig_, "00026,BtnStsGetFunc,ioctl failed(errno=5(Input/output error))"));
    EXPECT_TRUE(NothingSent(rig_));
    EXPECT_EQ(rig_.Stats().getStsCalls, 1u);
}

} // namespace
