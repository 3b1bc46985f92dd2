// Messaging on real FIFOs under a private KVO_ROOT: open kinds, parser, send bounds, FTP recovery, reports, dates.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "clocks.h"
#include "kvodate.h"
#include "kvoroot.h"
#include "kvoruntime.h"
#include "logcapture.h"

namespace {

std::string Err(const char *what, const std::string &path, int err)
{ return std::string(what) + " (fifo=" + path + ", errno=" + std::to_string(err) + "(" + strerror(err) + "))\n"; }
std::string Trace(const char *which, int place, const char *func)
{ return std::string(which) + " of function ,..\\src\\qnosfifo," + std::to_string(place) + ",@" + func + "\n"; }
bool IsFifo(const std::string &path) { struct stat st; return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode); }
void MakeFile(const std::string &path) { std::ofstream(path) << "keep"; } // a regular file

class Msg : public ::testing::Test {
protected:
    KvoRoot root;
    LogCapture log;
    ProcInfo info{};
    const std::string gdbt = FIFO_NAME_GDBT, sts = FIFO_NAME_STS, ftp = FIFO_NAME_FTP;
};

// Kind 0 makes the FIFO or accepts one, but not a missing folder or a regular file.
TEST_F(Msg, Kind0CreatesOrAcceptsAFifo)
{
    MakeFile(sts);
    const std::array<std::pair<std::string, int>, 4> cases = {
        {{gdbt, 0}, {gdbt, 0}, {root.Dir() + "/nodir/FifoX", ENOENT}, {sts, EEXIST}}};
    for (const auto &c : cases) {
        log.Clear();
        EXPECT_EQ(c.second ? -1 : 0, ComFifoCreateOpen(&info, c.first.c_str(), 0)) << c.first;
        EXPECT_EQ(c.second, c.second ? info.iErrno : 0);
        std::string line = c.second ? "mkfifo failed(" + c.first + ", errno=" + std::to_string(c.second) + ")\n"
                                    : "mkfifo success(" + c.first + ")\n";
        EXPECT_EQ(1, log.Count(line, c.second ? LOG_INFO : LOG_DEBUG)) << log.Dump();
    }
    EXPECT_TRUE(IsFifo(gdbt));
}

// Kinds 1-6 and their flags; failures store errno, unretried (5 waits for the FIFO only); unknown kinds leave errno.
TEST_F(Msg, OpenKindsFlagsAndFailures)
{
    const struct { int kind, flags; const char *dir; int errMissing, errNoReader; } kinds[] = {
        {1, O_RDONLY, "read", ENOENT, 0}, {2, O_RDONLY | O_NONBLOCK, "read", ENOENT, 0},
        {3, O_RDONLY | O_NONBLOCK, "read", ENOENT, 0}, {4, O_WRONLY, "write", 0, 0},
        {5, O_WRONLY | O_NONBLOCK, "write", 0, ENXIO}, {6, O_RDWR | O_NONBLOCK, "RW", ENOENT, 0}};
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.kind);
        if (k.errMissing != 0) {
            log.Clear();
            EXPECT_EQ(-1, ComFifoCreateOpen(&info, gdbt.c_str(), k.kind));
            EXPECT_EQ(k.errMissing, info.iErrno);
            EXPECT_EQ(std::vector<std::string>{std::string("open(") + k.dir + ") failed(" + gdbt + ", errno=2)\n"},
                      log.AtPriority(LOG_INFO));
        }
        ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_GDBT));
        if (k.errNoReader != 0) {
            EXPECT_EQ(-1, ComFifoCreateOpen(&info, gdbt.c_str(), k.kind));
            EXPECT_EQ(k.errNoReader, info.iErrno);
        }
        HeldFifo peer(gdbt.c_str());
        log.Clear();
        int fd = ComFifoCreateOpen(&info, gdbt.c_str(), k.kind);
        ASSERT_GE(fd, 0) << log.Dump();
        EXPECT_EQ(k.flags, fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK));
        EXPECT_EQ(1, log.Count(std::string("open FifoDescriptor(") + k.dir + ") = " + std::to_string(fd) + "\n"));
        EXPECT_EQ(0, log.Count("sleep() of open(" + gdbt + ")\n"));
        close(fd), unlink(gdbt.c_str());
    }
    for (int kind : {7, -1}) {
        info.iErrno = 1234;
        EXPECT_EQ(-1, ComFifoCreateOpen(&info, gdbt.c_str(), kind));
        EXPECT_EQ(1234, info.iErrno);
        EXPECT_EQ(1, log.Count("error of kind(" + std::to_string(kind) + ")\n", LOG_INFO));
    }
}

// Kinds 4 and 5 pause between tries until the FIFO appears (with a reader).
TEST_F(Msg, WriteKindsWaitUntilTheFifoExists)
{
    for (int kind : {4, 5}) {
        int reader = -1;
        std::thread maker([&] {
            usleep(150000);
            const std::string tmp = gdbt + ".new";
            mkfifo(tmp.c_str(), 0666);
            reader = open(tmp.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            rename(tmp.c_str(), gdbt.c_str());
        });
        log.Clear();
        int fd = ComFifoCreateOpen(&info, gdbt.c_str(), kind);
        maker.join();
        int pauses = log.Count("sleep() of open(" + gdbt + ")\n");
        EXPECT_TRUE(pauses >= 1 && pauses <= 8) << pauses << " pauses";
        EXPECT_GE(fd, 0);
        close(fd), close(reader), unlink(gdbt.c_str());
    }
}

class Parser : public Msg {
protected:
    void SetUp() override { ASSERT_TRUE(made); info.iSelectDes = peer.fd; data.fill('?'); }
    int Get(const std::string &bytes)
    {
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(peer.fd, bytes.data(), bytes.size()));
        return ComFIFOGetData(&info, &mid, &cid, data.data());
    }
    std::string Out() const
    {
        return std::to_string(mid) + " " + std::to_string(cid) + " " + std::string(data.data(), 250);
    }

    bool made = root.MakeFifo(KVO_PATH_FIFO_GDBT);
    HeldFifo peer{FIFO_NAME_GDBT};
    int mid = -7, cid = -7;
    std::array<char, FIFO_MSG_DATA_SIZE> data{};
};

// atoi'd ids and 250 bytes, zeros kept; a short frame leaves zeros; nothing to read leaves all; errno stored.
TEST_F(Parser, SplitsFramesAndLeavesNoStaleBytes)
{
    std::string body = Data(std::string("AB\0\xff", 4) + "CD");
    body[249] = '\0';
    EXPECT_EQ(FIFO_MSG_SIZE, Get("080900" + body));
    EXPECT_EQ("80 900 " + body, Out());
    EXPECT_EQ(1, log.Count("receive-data=080900AB\n", LOG_DEBUG)) << log.Dump();
    const std::pair<const char *, int> ids[] = {{" 5x", 5}, {"abc", 0}, {"-01", -1}};
    for (const auto &c : ids) {
        EXPECT_EQ(FIFO_MSG_SIZE, Get(std::string(c.first) + c.first + Data("x")));
        EXPECT_EQ(std::to_string(c.second) + " " + std::to_string(c.second) + " " + Data("x"), Out());
    }
    Get("011022" + std::string(250, 'Z'));
    EXPECT_EQ(10, Get("052600abcd"));
    EXPECT_EQ("52 600 abcd" + std::string(246, '\0'), Out());
    EXPECT_EQ(1, Get("7")); // a single byte is traced as any read
    EXPECT_EQ(1, log.Count("receive-data=7\n", LOG_DEBUG)) << log.Dump();

    mid = cid = -7;
    data.fill('?');
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_EK));
    int eof = open(FIFO_NAME_EK, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    for (int fd : {peer.fd, eof}) {
        info.iSelectDes = fd;
        EXPECT_EQ(0, ComFIFOGetData(&info, &mid, &cid, data.data()));
        EXPECT_EQ("-7 -7 " + std::string(250, '?'), Out());
    }
    close(eof);
    EXPECT_TRUE(log.AtPriority(LOG_INFO).empty()) << log.Dump();
    info.iSelectDes = -1;
    EXPECT_EQ(-1, ComFIFOGetData(&info, &mid, &cid, data.data()));
    EXPECT_EQ(EBADF, info.iErrno);
    EXPECT_EQ(std::vector<std::string>{"read failed(fifoDescript=-1), errno=9\n"}, log.AtPriority(LOG_INFO));
    EXPECT_EQ("-7 -7 " + std::string(250, '?'), Out());
}

TEST_F(Parser, DescriptorWriteAndCloseReportFailures)
{
    int fd = dup(peer.fd);
    EXPECT_EQ(0, ComFifoWrite(fd, "hello\0tail", 10));
    EXPECT_EQ(std::string("hello\0tail", 10), peer.Drain());
    EXPECT_EQ(0, ComFifoClose(&info, fd));
    EXPECT_EQ(-1, ComFifoWrite(fd, "x", 1));
    EXPECT_EQ(-1, ComFifoClose(&info, fd));
    EXPECT_EQ(EBADF, info.iErrno);
    const std::string f = std::to_string(fd);
    EXPECT_EQ((std::vector<std::string>{"send failed(iFifoDescript=" + f + ", errno=9)\n",
                                        "FifoClose failed(iFifoDescriptor=" + f + ", errno=9)\n"}),
              log.AtPriority(LOG_INFO));
}

// A live peer gets exactly the frames, nothing logged; ids beyond three digits refused before any attempt.
TEST_F(Msg, SendDeliversExactFramesAndRefusesIdsThatDoNotFit)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_STS));
    HeldFifo peer(sts.c_str());
    std::string bytes = Data(std::string("\0\x01\xfe", 3) + "x");
    EXPECT_EQ(0, ComFIFOPutData2(sts.c_str(), 52, 600, Data("0000312").data()));
    EXPECT_EQ(0, ComFIFOPutData2(sts.c_str(), 0, 999, bytes.data()));
    EXPECT_EQ("052600" + Data("0000312") + "000999" + bytes, peer.Drain());
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
    const std::pair<int, int> bad[] = {{-1, 605}, {1000, 605}, {52, -1}, {52, 1000}};
    for (auto ids : bad) {
        EXPECT_EQ(-1, ComFIFOPutData2(sts.c_str(), ids.first, ids.second, bytes.data()));
        EXPECT_EQ("FIFO id error (fifo=" + sts + ", mid=" + std::to_string(ids.first) +
                      ", cid=" + std::to_string(ids.second) + ")\n",
                  log.Lines().back().text);
    }
    EXPECT_EQ(4u, log.Lines().size());
    EXPECT_EQ("", peer.Drain());
}

// Three logged attempts: no FIFO / a regular file at once; a dead peer / full FIFO after the 1 s budget, no spin.
TEST_F(Msg, SendFailsThreeTimesWithinItsBound)
{
    const std::string lines[] = {Err("FIFO read open error", sts, ENOENT), Err("FIFO write open error", sts, EINVAL),
                                 Err("FIFO write open error", sts, ENXIO), Err("FIFO write error", sts, EAGAIN)};
    for (int c = 0; c < 4; ++c) {
        unlink(sts.c_str());
        if (c == 1)
            MakeFile(sts);
        EXPECT_EQ(c >= 2, c >= 2 && root.MakeFifo(KVO_PATH_FIFO_STS));
        HeldFifo full(c == 3 ? sts.c_str() : "/nonexistent");
        int frames = c == 3 ? full.Fill() : 0;
        log.Clear();
        double t0 = Seconds(CLOCK_MONOTONIC), cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
        EXPECT_EQ(-1, ComFIFOPutData2(sts.c_str(), 52, 605, Data("001").data()));
        double wall = Seconds(CLOCK_MONOTONIC) - t0;
        EXPECT_TRUE(wall < 5.0 && (c >= 2) == (wall >= 0.9)) << wall << " s"; // far above the budget, even emulated
        EXPECT_LT(Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu, 0.3);
        EXPECT_EQ(std::vector<std::string>(3, lines[c]), log.AtPriority(LOG_INFO));
        EXPECT_EQ(c == 1, access(sts.c_str(), F_OK) == 0 && !IsFifo(sts)); // nothing made, nothing replaced
        EXPECT_EQ(c == 1 ? "keep" : "", c == 1 ? ReadFile(sts) : "");
        EXPECT_EQ(static_cast<size_t>(frames) * FIFO_MSG_SIZE, full.fd >= 0 ? full.Drain().size() : 0u);
    }
}

// Within the budget the send waits for the FIFO (delivered once), for room, for a late reader.
TEST_F(Msg, SendWaitsWithinItsBound)
{
    int reader = -1;
    LogCapture hook([&](const std::string &text) { // the FIFO made after the first failed attempt
        if (text == Err("FIFO read open error", sts, ENOENT) && reader < 0 && mkfifo(sts.c_str(), 0666) == 0)
            reader = open(sts.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    });
    char buf[2 * FIFO_MSG_SIZE];
    EXPECT_EQ(0, ComFIFOPutData2(sts.c_str(), 52, 605, Data("001").data()));
    EXPECT_EQ(FIFO_MSG_SIZE, read(reader, buf, sizeof buf));
    close(reader);
    {
        HeldFifo peer(sts.c_str());
        int frames = peer.Fill();
        std::thread slow([&] {
            usleep(50000);
            char page[16 * FIFO_MSG_SIZE]; // a pipe frees room a page at a time
            (void)!read(peer.fd, page, sizeof page);
        });
        EXPECT_EQ(0, ComFIFOPutData2(sts.c_str(), 52, 605, Data("001").data()));
        slow.join();
        std::string rest = peer.Drain();
        ASSERT_EQ(static_cast<size_t>(frames - 15) * FIFO_MSG_SIZE, rest.size());
        EXPECT_EQ("052605" + Data("001"), rest.substr(rest.size() - FIFO_MSG_SIZE));
    }
    std::thread late([&] {
        usleep(50000);
        reader = open(sts.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    });
    EXPECT_EQ(0, ComFIFOPutData2(sts.c_str(), 52, 605, Data("001").data()));
    late.join();
    EXPECT_EQ(FIFO_MSG_SIZE, read(reader, buf, sizeof buf));
    close(reader);
    EXPECT_EQ(1u, hook.Lines().size()) << hook.Dump(); // the one failed attempt
}

class Ftp : public Msg {
protected:
    // Info lines after three failed attempts: drain, read errors, kill of 11, end.
    std::vector<std::string> Failed(const std::string &line, const std::string &path, int readErrors, bool existed)
    {
        std::vector<std::string> l(3, line), tail = {Trace("end", 823, "ComFIFOGetFTP"),
            Trace("start", 727, "SendStsModuleKill"), Trace("end", 741, "SendStsModuleKill"),
            "pipe=" + path + " is ERROR .iRet=-1 ,..\\src\\qnosfifo,875,@ComFIFOPutDataforFtpLog\n"};
        l.push_back(Trace("start", 783, "ComFIFOGetFTP"));
        l.resize(existed ? 5 : 4, Trace("end", 794, "ComFIFOGetFTP"));
        l.resize(l.size() + readErrors, "FIFO read error (errno=11(" + std::string(strerror(EAGAIN)) + "))\n");
        l.insert(l.end(), tail.begin(), tail.end());
        return l;
    }
    int Put(const std::string &path, int cid = 70)
    { return ComFIFOPutDataforFtpLog(path.c_str(), 52, cid, Data("ftp log record").data()); }

    bool stsMade = root.MakeFifo(KVO_PATH_FIFO_STS);
    HeldFifo stsPeer{FIFO_NAME_STS}; // the status module
};

TEST_F(Ftp, SuccessOnlyTracesAndBadIdsNoRecovery)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_FTP));
    HeldFifo peer(ftp.c_str());
    EXPECT_EQ(0, Put(ftp));
    EXPECT_EQ("052070" + Data("ftp log record"), peer.Drain());
    std::vector<std::string> traces = {Trace("start", 861, "ComFIFOPutDataforFtpLog"),
                                       Trace("start", 634, "ComFIFOPutData3"), Trace("end", 686, "ComFIFOPutData3"),
                                       Trace("end", 878, "ComFIFOPutDataforFtpLog")};
    EXPECT_EQ(traces, log.AtPriority(LOG_DEBUG));
    EXPECT_TRUE(log.AtPriority(LOG_INFO).empty());
    // A frame refused for its ids is the caller's fault, not the FTP module's.
    EXPECT_EQ(-1, Put(ftp, 1000));
    EXPECT_EQ(std::vector<std::string>{"FIFO id error (fifo=" + ftp + ", mid=52, cid=1000)\n"},
              log.AtPriority(LOG_INFO));
    EXPECT_EQ("", peer.Drain() + stsPeer.Drain());
}

// Full: 3 attempts fail, 245 reads drain it (closed again), kill of 11 asked; another path: FifoFtp is made.
TEST_F(Ftp, FailureDrainsTheFtpFifoAndAsksForTheKill)
{
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_FTP));
    {
        HeldFifo peer(ftp.c_str());
        int frames = peer.Fill(), free0 = dup(0);
        close(free0);
        double t0 = Seconds(CLOCK_MONOTONIC);
        EXPECT_EQ(-1, Put(ftp));
        EXPECT_LT(Seconds(CLOCK_MONOTONIC) - t0, 5.0);
        EXPECT_EQ(free0, dup(0)) << "a descriptor left open";
        close(free0);
        EXPECT_EQ(Failed(Err("FIFO write error", ftp, EAGAIN), ftp, std::max(0, 245 - frames), true),
                  log.AtPriority(LOG_INFO));
        EXPECT_EQ(static_cast<size_t>(std::max(0, frames - 245)) * FIFO_MSG_SIZE, peer.Drain().size());
        EXPECT_EQ("052631" + Data("011"), stsPeer.Drain());
    }
    unlink(ftp.c_str());
    log.Clear();
    const std::string other = root.Dir() + "/tmp/pipe/FifoOther";
    EXPECT_EQ(-1, Put(other));
    EXPECT_EQ(Failed(Err("FIFO read open error", other, ENOENT), other, 245, false), log.AtPriority(LOG_INFO));
    EXPECT_TRUE(IsFifo(ftp) && access(other.c_str(), F_OK) != 0);
    EXPECT_EQ("052631" + Data("011"), stsPeer.Drain());
}

TEST_F(Ftp, RegularFileRefusedAndADrainThatCannotOpen)
{
    MakeFile(ftp);
    EXPECT_EQ(-1, ComFIFOPutData3(ftp.c_str(), 52, 70, Data("").data()));
    EXPECT_EQ(std::vector<std::string>(3, Err("FIFO write open error", ftp, EINVAL)), log.AtPriority(LOG_INFO));
    EXPECT_EQ("keep", ReadFile(ftp));
    unlink(ftp.c_str());
    unlink(sts.c_str());
    ASSERT_EQ(0, rmdir((root.Dir() + "/tmp/pipe").c_str()));
    log.Clear();
    ComFIFOGetFTP();
    EXPECT_EQ((std::vector<std::string>{Trace("start", 783, "ComFIFOGetFTP"), Trace("end", 794, "ComFIFOGetFTP"),
                                        ftp + " open error (errno=2(" + strerror(ENOENT) + "))\n"}),
              log.AtPriority(LOG_INFO));
}

// Report frames as the status module reads them; a value beyond three digits (1000 would read "100") is not sent.
TEST(StatusReports, FramesAndValuesThatDoNotFit)
{
    KvoRoot root;
    LogCapture log;
    ASSERT_TRUE(root.MakeAllFifos());
    HeldFifo sts(FIFO_NAME_STS), stsp(FIFO_NAME_STSP);
    WakeupComplete(52, 0, "0312");
    WakeupComplete(52, 1, "0312XYZ"); // only the four code bytes are read
    TerminateComplete(52, 1);
    SendStsModuleKill("/no/such/fifo", 52, 11); // the path names the failed delivery
    EXPECT_EQ("052600" + Data("0000312") + "052600" + Data("0010312"), stsp.Drain());
    EXPECT_EQ("052605" + Data("001") + "052631" + Data("011"), sts.Drain());
    log.Clear();
    WakeupComplete(52, 1000, "0312");
    TerminateComplete(52, -1);
    SendStsModuleKill(FIFO_NAME_FTP, 52, 1011);
    EXPECT_EQ("", sts.Drain() + stsp.Drain());
    const std::string s = FIFO_NAME_STS;
    EXPECT_EQ(
        (std::vector<std::string>{
            "FIFO data id error (fifo=" + std::string(FIFO_NAME_STSP) + ", cid=600, value=1000)\n",
            "FIFO data id error (fifo=" + s + ", cid=605, value=-1)\n", Trace("start", 727, "SendStsModuleKill"),
            "FIFO data id error (fifo=" + s + ", cid=631, value=1011)\n", Trace("end", 741, "SendStsModuleKill")}),
        log.AtPriority(LOG_INFO));
}

TEST(DateStamp, WordsAndStringsOfAFixedMoment)
{
    const struct { struct tm tm; long usec; uint32_t date, time; const char *text; } cases[] = {
        {{7, 5, 9, 4, 11, 126, 0, 0, 0, 0, nullptr}, 123456, 0x07ea0c04u, 0x0905070cu, "20261204090507"},
        {{60, 59, 23, 31, 0, 99, 0, 0, 0, 0, nullptr}, 999999, 0x07cf011fu, 0x173b3c63u, "19990131235960"},
    };
    for (const auto &c : cases) {
        uint32_t date = 0, time = 0;
        kvo::DateWords(c.tm, c.usec, &date, &time);
        EXPECT_EQ(std::make_pair(c.date, c.time), std::make_pair(date, time));
        char s[16] = "###############";
        kvo::DateWordsStr(date, time, s, s + 8);
        EXPECT_EQ(std::string(c.text) + "#", std::string(s, 15)); // no terminator
    }
    char s[14];
    kvo::DateWordsStr(0xffffffffu, 0xffffffffu, s, s + 8); // fields cut to their width
    EXPECT_EQ("55355555555555", std::string(s, 14));
}

// With a fixed zone (nine hours east) the clock's words and strings are local.
TEST(DateStamp, CurrentTimeFollowsTheZone)
{
    const char *old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "KVO-9", 1);
    uint32_t date = 0, time = 0, wantDate, wantTime;
    uint16_t week = 99;
    char d[15] = {}, want[15] = {};
    struct timeval before, after;
    struct tm t;
    do { // the reading and the check in the same second
        gettimeofday(&before, nullptr);
        GetCurTime(&date, &time, &week);
        GetCurTime(nullptr, nullptr, nullptr);
        GetDateTimeStr(d, d + 8);
        gettimeofday(&after, nullptr);
    } while (before.tv_sec != after.tv_sec);
    old != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    time_t shifted = before.tv_sec + 9 * 3600;
    kvo::DateWords(*gmtime_r(&shifted, &t), 0, &wantDate, &wantTime);
    kvo::DateWordsStr(wantDate, wantTime, want, want + 8);
    EXPECT_EQ(std::string(want) + " " + std::to_string(wantDate) + " " + std::to_string(wantTime) + " " +
                  std::to_string(t.tm_wday),
              std::string(d) + " " + std::to_string(date) + " " + std::to_string(time & 0xffffff00u) + " " +
                  std::to_string(week));
    EXPECT_LT(time & 0xff, 100u);
}

} // namespace
