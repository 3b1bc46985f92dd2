// The frame tool against the runtime's own frame functions: frames that
// ComFIFOPutData2 wrote decode to their fields, frames that kvomsg sends
// read back through ComFIFOGetData, and bad arguments send nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "frame.h"
#include "kvoroot.h"
#include "kvoruntime.h"
#include "runtool.h"

namespace {

// Holds a FIFO for reading and writing, as its module does.
struct HeldFifo {
    explicit HeldFifo(KvoPathId id) : fd(open(KvoPath(id), O_RDWR | O_NONBLOCK)) {}
    ~HeldFifo() { close(fd); }
    std::string Drain() const
    {
        std::string all;
        char buf[FIFO_MSG_SIZE];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            all.append(buf, static_cast<size_t>(n));
        return all;
    }
    int fd;
};

std::string Data(const std::string &head)
{
    std::string d(FIFO_MSG_DATA_SIZE, ' ');
    d.replace(0, head.size(), head);
    return d;
}

std::string WriteTemp(const KvoRoot &root, const std::string &bytes)
{
    std::string path = root.Dir() + "/frames.bin";
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

struct Sent {
    int mid;
    int cid;
    std::string head; // data bytes from 0; spaces after
    const char *line; // as kvomsg decode prints it
};

const Sent kSent[] = {
    {52, 600, "0000312", "kvogdbt(52) 600 start-up report, result 000, code \"0312\""},
    {52, 454, "052", "kvogdbt(52) 454 IO status request, data \"052\""},
    {80, 410, std::string("  \x01", 3), "kvosts(80) 410 IO answer (loop signal), loop state 1"},
    {52, 255, std::string("\x01\x00", 2), "kvogdbt(52) 255 guard notice to authentication, notice 1,0"},
    {52, 53, std::string("20261204090507  \x04\x00", 18),
     "kvogdbt(52) 53 guard log record, guard log 2026-12-04 09:05:07, kind 4/0"},
    {71, 412, "\x02", "kvopare(71) 412 guard answer (parent mode), answer 2 (loop signal off)"},
    {52, 631, "011", "kvogdbt(52) 631 kill request, kill 011 (kvoftp)"},
    {52, 356, "", "kvogdbt(52) 356 button pressed"},
    {7, 999, "a\"b\\\xff", "module 7(7) 999 command 999, data \"a\\\"b\\\\\\xff\""},
};

TEST(KvomsgDecode, FramesTheRuntimeWroteDecodeToTheirFields)
{
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    HeldFifo fifo(KVO_PATH_FIFO_STS);
    std::string want;
    for (const Sent &s : kSent) {
        ASSERT_EQ(ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_STS), s.mid, s.cid, Data(s.head).c_str()), 0);
        want += std::string(s.line) + "\n";
    }
    std::string bytes = fifo.Drain();
    ASSERT_EQ(bytes.size(), sizeof kSent / sizeof kSent[0] * FIFO_MSG_SIZE);
    std::string file = WriteTemp(root, bytes);

    ToolRun fromFile = RunTool({KVOMSG_PATH, "decode", file});
    EXPECT_EQ(fromFile.status, 0);
    EXPECT_EQ(fromFile.out, want);
    ToolRun fromStdin = RunTool({KVOMSG_PATH, "decode"}, file);
    EXPECT_EQ(fromStdin.out, want);
}

TEST(KvomsgDecode, AShortLastChunkIsNamedAsSuch)
{
    KvoRoot root;
    std::string bytes = "052901" + Data("") + "080900";
    ToolRun run = RunTool({KVOMSG_PATH, "decode", WriteTemp(root, bytes)});
    EXPECT_EQ(run.out, "kvogdbt(52) 901 alive request\n"
                       "kvosts(80) 900 terminate, order 0 [short frame: 6 bytes]\n");
}

struct Send {
    std::vector<std::string> args; // after "send"
    KvoPathId fifo;
    int mid;
    int cid;
    std::string head;
};

TEST(KvomsgSend, FramesReadBackThroughComFIFOGetData)
{
    const Send cases[] = {
        {{"FifoSts", "sts", "terminate", "--hex", "01"}, KVO_PATH_FIFO_STS, 80, 900, "\x01"},
        {{"pare", "kvopare", "411"}, KVO_PATH_FIFO_PARE, 71, 411, ""},
        {{"gdbt", "80", "410", "--hex", "20 20 00"}, KVO_PATH_FIFO_GDBT, 80, 410,
         std::string("  \x00", 3)},
        {{"kvoauth", "gdbt", "AUTH_GUARD", "--text", "hello"}, KVO_PATH_FIFO_AUTH, 52, 255, "hello"},
        {{"20", "0", "0x97"}, KVO_PATH_FIFO_DISP, 0, 151, ""},
    };
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    for (const Send &c : cases) {
        HeldFifo fifo(c.fifo);
        std::vector<std::string> argv = {KVOMSG_PATH, "send"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ToolRun run = RunTool(argv);
        EXPECT_EQ(run.status, 0) << c.args[0] << ": " << run.out;

        ProcInfo pi{};
        pi.iSelectDes = fifo.fd;
        int mid = -1, cid = -1;
        char data[FIFO_MSG_DATA_SIZE];
        EXPECT_EQ(ComFIFOGetData(&pi, &mid, &cid, data), FIFO_MSG_SIZE) << c.args[0];
        EXPECT_EQ(mid, c.mid) << c.args[0];
        EXPECT_EQ(cid, c.cid) << c.args[0];
        EXPECT_EQ(std::string(data, sizeof data), Data(c.head)) << c.args[0];
        EXPECT_EQ(fifo.Drain(), "") << "one frame only: " << c.args[0];
    }
}

TEST(KvomsgSend, BadArgumentsSendNothing)
{
    const std::vector<std::string> cases[] = {
        {"FifoNone", "sts", "900"},
        {"sts", "nobody", "900"},
        {"sts", "sts", "1000"},
        {"sts", "sts", "900", "--hex", "0"},
        {"sts", "sts", "900", "--hex", "zz"},
        {"sts", "sts", "900", "--text", std::string(FIFO_MSG_DATA_SIZE + 1, 'x')},
        {"sts", "sts", "900", "--text"},
        {"sts", "sts", "900", "--bytes", "01"},
        {"sts", "sts"},
    };
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    HeldFifo fifo(KVO_PATH_FIFO_STS);
    for (const std::vector<std::string> &c : cases) {
        std::vector<std::string> argv = {KVOMSG_PATH, "send"};
        argv.insert(argv.end(), c.begin(), c.end());
        ToolRun run = RunTool(argv);
        EXPECT_EQ(run.status, 2) << c[0] << " " << c[1] << ": " << run.out;
    }
    EXPECT_EQ(fifo.Drain(), "");
}

TEST(KvomsgSend, AMissingFifoIsAFailedSend)
{
    KvoRoot root; // no FIFOs made
    ToolRun run = RunTool({KVOMSG_PATH, "send", "sts", "sts", "900"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("not delivered"), std::string::npos) << run.out;
}

TEST(KvomsgWatch, PrintsEachFrameWithItsFifo)
{
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    // Queued before the watch starts: the watch's own descriptor reads them.
    HeldFifo keep(KVO_PATH_FIFO_LOG);
    ASSERT_EQ(ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_LOG), 52, 53,
                              Data(std::string("20261204090507  \x04\x00", 18)).c_str()), 0);
    ASSERT_EQ(ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_LOG), 52, 901, Data("").c_str()), 0);
    ToolRun run = RunTool({KVOMSG_PATH, "watch", "log", "--count", "2"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find(" FifoLog kvogdbt(52) 53 guard log record, guard log 2026-12-04 "
                           "09:05:07, kind 4/0\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(" FifoLog kvogdbt(52) 901 alive request\n"), std::string::npos)
        << run.out;
}

} // namespace
