// Command handling: every branch of FifoReadFunc by sender, command, mode,
// authentication flag and state, with what is sent, logged and changed; the
// order of sends that go out together; the guard log record.
#include <cctype>
#include <ctime>

#include "gdbtfixture.h"

namespace {

constexpr KvoPathId STS = KVO_PATH_FIFO_STS, STSP = KVO_PATH_FIFO_STSP, PARE = KVO_PATH_FIFO_PARE,
                    AUTH = KVO_PATH_FIFO_AUTH, DISP = KVO_PATH_FIFO_DISP, LOGF = KVO_PATH_FIFO_LOG;
const std::string kDisp = "0619 00000000";
const std::string kConNtf = "iMod_id == MODID_STS && iCmd_id == CMDID_GDBT_CON_NTF\n";

std::string Fmt(const char *num, int mid, int cid, int d0)
{
    char s[160];
    std::snprintf(s, sizeof s, "%s,FifoReadFunc,message format err(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
                  num, mid, cid, d0);
    return s;
}

std::string Off(int mid, int cid, int d0)
{
    char s[160];
    std::snprintf(s, sizeof s,
                  "00015,FifoReadFunc,function off receive message(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
                  mid, cid, d0);
    return s;
}

std::string State(const char *num, const char *what, int st, int mid, int cid, int d0)
{
    char s[200];
    std::snprintf(s, sizeof s, "%s,FifoReadFunc,%sgstLocalInfo.iGdSts = %d receave %s(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
                  num, std::strcmp(num, "00004") == 0 ? "io response receive waiting(guard button):" : "", st,
                  what, mid, cid, d0);
    return s;
}

struct CmdCase {
    const char *name;
    int32_t parent; // parent-mode word
    char auth;      // authentication flag
    int funcFlg, gdSts;
    int mid, cid;
    std::string rcv; // first received data bytes, the rest spaces
    int ret, gdStsAfter, funcFlgAfter;
    std::vector<Sent> sent;
    std::vector<std::string> info; // every priority-6 line, in order
};
void PrintTo(const CmdCase &c, std::ostream *os) { *os << c.name; }


const std::vector<CmdCase> &Cases()
{
    static const std::vector<CmdCase> cases = {
        // status module: served whatever the function flag and the mode
        {"Terminate0FunctionOff", 1, '0', 0, 1, 80, 900, Head({0}), KVO_SELECT_END, 1, 0, {}, {}},
        {"Terminate1", 0, '0', 1, 0, 80, 900, Head({1}), KVO_SELECT_END, 0, 1, {}, {}},
        {"TerminateBadData", 0, '0', 1, 0, 80, 900, Head({5}), 0, 0, 1, {}, {Fmt("00001", 80, 900, 5)}},
        {"AliveFunctionOff", 1, '0', 0, 1, 80, 901, "", 0, 1, 0, {{STS, 621, ""}}, {}},
        {"WakeupAgain", 0, '0', 1, 0, 80, 902, "", 0, 0, 1, {{STSP, 600, "0000312"}}, {}},
        {"FunctionOff", 0, '0', 1, 2, 80, 413, Head({0}), 0, 2, 0, {}, {}},
        {"FunctionOn", 1, '0', 0, 1, 80, 413, Head({1}), 0, 1, 1, {}, {}},
        {"FunctionBadData", 0, '0', 1, 0, 80, 413, Head({2}), 0, 0, 1, {}, {Fmt("00002", 80, 413, 2)}},
        {"StsUnknown", 0, '0', 0, 0, 80, 999, Head({7}), 0, 0, 0, {}, {Fmt("00003", 80, 999, 7)}},
        // function off: everything else is dropped, 410 included
        {"OffIoRequest", 0, '0', 0, 0, 71, 411, "", 0, 0, 0, {}, {Off(71, 411, 0x20)}},
        {"OffConNtf", 0, '0', 0, 1, 80, 410, Head({0, 0, 0}), 0, 1, 0, {}, {Off(80, 410, 0)}},
        // parent mode
        {"ParentAnswer0", 1, '0', 1, 1, 71, 412, Head({0}), 0, 0, 1, {}, {}},
        {"ParentAnswer1", 1, '0', 1, 1, 71, 412, Head({1}), 0, 0, 1, {}, {}},
        {"ParentAnswer2", 1, '0', 1, 1, 71, 412, Head({2}), 0, 0, 1, {{DISP, 151, kDisp}},
         {"00011,FifoReadFunc,LOOP SIGNAL OFF\n"}},
        {"ParentAnswerBad", 1, '5', 1, 1, 71, 412, Head({3}), 0, 0, 1, {}, {Fmt("00012", 71, 412, 3)}},
        {"ParentAnswerUnawaited", 1, '0', 1, 2, 71, 412, Head({2}), 0, 2, 1, {},
         {State("00013", "PARE", 2, 71, 412, 2)}},
        {"ParentIoRequest", 1, '0', 1, 1, 71, 411, Head({0}), 0, 1, 1, {}, {Fmt("00014", 71, 411, 0)}},
        {"ParentConNtf", -1, '0', 1, 1, 80, 410, Head({0, 0, 0}), 0, 1, 1, {}, {Fmt("00014", 80, 410, 0)}},
        // direct mode, 411 from the parent module
        {"IoRequestWaiting", 0, '0', 1, 1, 71, 411, Head({0}), 0, 1, 1, {}, {State("00004", "IO", 1, 71, 411, 0)}},
        {"IoRequestIdle", 0, '0', 1, 0, 71, 411, "", 0, 2, 1, {{STS, 454, "052"}}, {}},
        {"IoRequestAgain", 0, '0', 1, 2, 71, 411, "", 0, 2, 1, {{STS, 454, "052"}}, {}},
        {"IoRequestFlag5", 0, '5', 1, 0, 71, 411, "", 0, 0, 1, {{PARE, 567, Head({5})}, {AUTH, 255, Head({0, 1})}}, {}},
        {"IoRequestFlag5Waiting", 0, '5', 1, 1, 71, 411, "", 0, 1, 1,
         {{PARE, 567, Head({5})}, {AUTH, 255, Head({0, 1})}}, {}},
        // direct mode, 410 from the status module: the loop state is data[2]
        {"ConGuardLoopOn", 0, '0', 1, 1, 80, 410, Head({9, 9, 1}), 0, 0, 1, {{AUTH, 255, Head({1, 0})}}, {kConNtf}},
        {"ConGuardLoopOff", 0, '0', 1, 1, 80, 410, Head({1, 1, 0}), 0, 0, 1, {{DISP, 151, kDisp}, {LOGF, 53, ""}},
         {kConNtf, "00005,FifoReadFunc,LOOP SIGNAL OFF\n"}},
        {"ConGuardLoopBad", 0, '0', 1, 1, 80, 410, Head({9, 9, 7}), 0, 0, 1, {}, {kConNtf, Fmt("00006", 80, 410, 9)}},
        {"ConIoLoopOn", 0, '0', 1, 2, 80, 410, Head({9, 9, 1}), 0, 0, 1,
         {{PARE, 567, Head({0})}, {AUTH, 255, Head({1, 1})}}, {kConNtf}},
        {"ConIoLoopOff", 0, '0', 1, 2, 80, 410, Head({1, 1, 0}), 0, 0, 1, {{LOGF, 53, ""}, {PARE, 567, Head({2})}},
         {kConNtf, "00007,FifoReadFunc,LOOP SIGNAL OFF\n"}},
        {"ConIoLoopBad", 0, '0', 1, 2, 80, 410, Head({9, 9, 7}), 0, 0, 1, {}, {kConNtf, Fmt("00008", 80, 410, 9)}},
        {"ConIdle", 0, '0', 1, 0, 80, 410, Head({9, 9, 1}), 0, 0, 1, {}, {kConNtf, State("00009", "IO", 0, 80, 410, 9)}},
        {"ConOtherState", 0, '5', 1, 3, 80, 410, Head({9, 9, 0}), 0, 0, 1, {}, {kConNtf, State("00009", "IO", 3, 80, 410, 9)}},
        {"DirectParentAnswer", 0, '0', 1, 1, 71, 412, Head({2}), 0, 1, 1, {}, {Fmt("00010", 71, 412, 2)}},
        {"DirectOtherModule", 0, '0', 1, 0, 40, 255, "", 0, 0, 1, {}, {Fmt("00010", 40, 255, 0x20)}},
    };
    return cases;
}

class FifoReadFuncCase : public GdbtTest, public ::testing::WithParamInterface<CmdCase> {};

TEST_P(FifoReadFuncCase, SendsLogsAndChangesStateAsItsBranchSays)
{
    const CmdCase &c = GetParam();
    SetParentMode(c.parent);
    SetAuthFlag(c.auth);
    gstLocalInfo.iFuncFlg = c.funcFlg;
    gstLocalInfo.iGdSts = c.gdSts;

    EXPECT_EQ(Feed(c.mid, c.cid, c.rcv), c.ret);

    EXPECT_EQ(gstLocalInfo.iGdSts, c.gdStsAfter);
    EXPECT_EQ(gstLocalInfo.iFuncFlg, c.funcFlgAfter);
    EXPECT_EQ(gstLocalInfo.iPutTime, GDBT_PUT_TIME_IDLE);
    EXPECT_EQ(Info(), c.info) << log_.Dump();
    ExpectSent(c.sent);
    ExpectEveryStartEnded();
}

INSTANTIATE_TEST_SUITE_P(Branches, FifoReadFuncCase, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<CmdCase> &i) { return std::string(i.param.name); });

// Sends of one call that go to different peers, put into one FIFO to see
// their order.
struct OrderCase {
    const char *name;
    char auth;
    int gdSts, cid;
    std::string rcv;
    std::vector<KvoPathId> routed;
    std::vector<int> cids; // in the order sent
};
void PrintTo(const OrderCase &c, std::ostream *os) { *os << c.name; }


class SendOrder : public GdbtTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(SendOrder, FollowsTheBranch)
{
    const OrderCase &c = GetParam();
    for (KvoPathId id : c.routed)
        RouteToPare(id);
    SetAuthFlag(c.auth);
    gstLocalInfo.iGdSts = c.gdSts;
    ASSERT_EQ(Feed(c.cid == 411 ? 71 : 80, c.cid, c.rcv), 0);
    std::vector<int> cids;
    for (const Frame &f : Drain())
        cids.push_back(f.Cid());
    EXPECT_EQ(cids, c.cids);
}

INSTANTIATE_TEST_SUITE_P(
    Notices, SendOrder,
    ::testing::Values(OrderCase{"GuardLoopOff", '0', 1, 410, Head({0, 0, 0}), {DISP, LOGF}, {151, 53}},
                      OrderCase{"IoLoopOff", '0', 2, 410, Head({0, 0, 0}), {LOGF}, {53, 567}},
                      OrderCase{"IoLoopOn", '0', 2, 410, Head({0, 0, 1}), {AUTH}, {567, 255}},
                      OrderCase{"IoRequestFlag5", '5', 0, 411, "", {AUTH}, {567, 255}}),
    [](const ::testing::TestParamInfo<OrderCase> &i) { return std::string(i.param.name); });

using FifoReadFuncRead = GdbtTest;

TEST_F(FifoReadFuncRead, FailedReadIsReportedAndReturned)
{
    p_.iSelectDes = in_[1]; // the write end: reading it fails
    EXPECT_EQ(FifoReadFunc(&p_), -1);
    EXPECT_EQ(log_.Count("00000,FifoReadFunc,ComFIFOGetData Returned KVOERROR\n", LOG_INFO), 1);
    ExpectSent({});
    ExpectEveryStartEnded();
}

TEST_F(FifoReadFuncRead, EmptyReadIsQuiet)
{
    close(in_[1]);
    in_[1] = -1;
    EXPECT_EQ(FifoReadFunc(&p_), 0);
    EXPECT_TRUE(Info().empty()) << log_.Dump();
    EXPECT_EQ(gstLocalInfo.iGdSts, 0);
    ExpectSent({});
}

using GuardLogRecord = GdbtTest;

std::string Today()
{
    time_t t = time(nullptr);
    struct tm tmv;
    localtime_r(&t, &tmv);
    char s[16];
    std::strftime(s, sizeof s, "%Y%m%d", &tmv);
    return s;
}

TEST_F(GuardLogRecord, HasDateTimeKindAndSpaces)
{
    std::string before = Today();
    ASSERT_EQ(WritePipe_GuardLog(), 0);
    std::string after = Today();
    std::vector<Frame> got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fifo, LOGF);
    EXPECT_EQ(got[0].Mid(), "052");
    EXPECT_EQ(got[0].Cid(), 53);
    std::string d = got[0].Data();
    ASSERT_EQ(d.size(), static_cast<size_t>(FIFO_MSG_DATA_SIZE));
    for (size_t i = 0; i < 14; ++i)
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(d[i]))) << "byte " << i << " of " << d.substr(0, 14);
    if (before == after) {
        EXPECT_EQ(d.substr(0, 8), before);
    }
    EXPECT_EQ(d.substr(14, 2), "  ");
    EXPECT_EQ(d[16], 4);
    EXPECT_EQ(d[17], 0);
    EXPECT_EQ(d.substr(18), std::string(FIFO_MSG_DATA_SIZE - 18, ' '));
}

TEST_F(GuardLogRecord, MissingLogFifoGivesMinusOne)
{
    ASSERT_EQ(unlink(KvoPath(LOGF)), 0);
    EXPECT_EQ(WritePipe_GuardLog(), -1);
}

} // namespace
