// The frame tool against the runtime's own frame functions: frames that
// ComFIFOPutData2 wrote decode to their fields, frames that kvomsg sends
// read back through ComFIFOGetData; each bad argument and each failed send
// is one line naming it; watch takes no frames another process reads.
#include <gtest/gtest.h>

#include <array>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kvoroot.h"
#include "kvoruntime.h"
#include "runtool.h"

namespace {

std::vector<std::string> Kvomsg(std::vector<std::string> args)
{
    args.insert(args.begin(), KVOMSG_PATH);
    return args;
}

// From a file and from standard input; a short last chunk is named.
TEST(Kvomsg, DecodesWhatTheRuntimeWrote)
{
    KvoRoot root;
    ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_STS));
    HeldFifo fifo(KVO_PATH_FIFO_STS);
    const std::pair<std::array<int, 2>, std::string> frames[] = {
        {{52, 600}, "0000312"}, {{80, 410}, std::string("  \x01", 3)},
        {{52, 53}, std::string("20261204090507  \x04\x00", 18)}, {{7, 999}, "a\"b\\\xff"}};
    for (const auto &f : frames)
        ASSERT_EQ(0, ComFIFOPutData2(FIFO_NAME_STS, f.first[0], f.first[1], Data(f.second).c_str()));
    const std::string file = root.Dir() + "/frames";
    std::ofstream(file) << fifo.Drain() << "052901" + Data("") + "080900";
    const std::string want = "kvogdbt(52) 600 start-up report, result 000, code \"0312\"\n"
                             "kvosts(80) 410 IO answer (loop signal), loop state 1\n"
                             "kvogdbt(52) 53 guard log record, guard log 2026-12-04 09:05:07, kind 4/0\n"
                             "module 7(7) 999 command 999, data \"a\\\"b\\\\\\xff\"\n"
                             "kvogdbt(52) 901 alive request\n"
                             "kvosts(80) 900 terminate, order 0 [short frame: 6 bytes]\n";
    ToolRun run = RunTool(Kvomsg({"decode", file}));
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(want, run.out);
    EXPECT_EQ(want, RunTool(Kvomsg({"decode"}), file).out);
}

// FIFOs, modules and commands by name or number, data as text or hex.
TEST(Kvomsg, SendsFramesThatReadBackThroughComFIFOGetData)
{
    const struct {
        std::vector<std::string> args; // after "send"
        KvoPathId fifo;
        int mid, cid;
        std::string head;
    } cases[] = {{{"FifoSts", "sts", "terminate", "--hex", "01"}, KVO_PATH_FIFO_STS, 80, 900, "\x01"},
                 {{"gdbt", "80", "410", "--hex", "20 20 00"}, KVO_PATH_FIFO_GDBT, 80, 410, std::string("  \x00", 3)},
                 {{"kvoauth", "gdbt", "AUTH_GUARD", "--text", "hello"}, KVO_PATH_FIFO_AUTH, 52, 255, "hello"},
                 {{"20", "0", "0x97"}, KVO_PATH_FIFO_DISP, 0, 151, ""}};
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    for (const auto &c : cases) {
        HeldFifo fifo(c.fifo);
        std::vector<std::string> args = {"send"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(0, RunTool(Kvomsg(args)).status) << c.args[0];
        ProcInfo pi{};
        pi.iSelectDes = fifo.fd;
        int mid = -1, cid = -1;
        char data[FIFO_MSG_DATA_SIZE];
        EXPECT_EQ(FIFO_MSG_SIZE, ComFIFOGetData(&pi, &mid, &cid, data));
        EXPECT_TRUE(mid == c.mid && cid == c.cid && Data(c.head) == std::string(data, sizeof data)) << c.args[0];
        EXPECT_EQ("", fifo.Drain()) << "one frame only: " << c.args[0];
    }
}

// --help on standard output; one line per kind of bad argument, exit 2,
// nothing sent.
TEST(Kvomsg, HelpAndBadArguments)
{
    ToolRun help = RunTool(Kvomsg({"watch", "--help"}));
    EXPECT_TRUE(help.status == 0 && help.err.empty());
    EXPECT_EQ(0u, help.out.find("usage: kvomsg [-v] send FIFO MODULE COMMAND"));
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{}, "which command? send, decode, watch or monitor"},
        {{"sned"}, "unknown command 'sned': send, decode, watch or monitor"},
        {{"-x", "send"}, "unknown option '-x'"},
        {{"send", "sts", "sts"}, "send needs FIFO MODULE COMMAND"},
        {{"send", "FifoNone", "sts", "900"}, "'FifoNone' is no FIFO or peer module: FifoGdbt, FifoSts, FifoStsp, "
                                             "FifoPare, FifoAuth, FifoDisp, FifoEk, FifoLog, FifoFtp"},
        {{"send", "sts", "nobody", "900"}, "'nobody' is no module (0 to 999, or a name such as kvosts or sts)"},
        {{"send", "sts", "sts", "1000"}, "'1000' is no command (0 to 999, or a name such as terminate)"},
        {{"send", "sts", "sts", "900", "--hex", "0"}, "--hex '0': not pairs of hex digits"},
        {{"send", "sts", "sts", "900", "--text"}, "--text needs a value"},
        {{"send", "sts", "sts", "900", "--text", std::string(251, 'x')}, "data of 251 bytes: a frame holds 250"},
        {{"send", "sts", "sts", "900", "--text", "a", "--hex", "01"}, "give the data once, with --text or --hex"},
        {{"send", "sts", "sts", "900", "01"}, "unexpected argument '01'"},
        {{"watch", "sts", "--count", "0"}, "--count '0': not a number from 1 to 1000000"},
        {{"monitor", "--pid", "me"}, "--pid 'me': not a process id"},
        {{"monitor", "kvonone"}, "'kvonone' is no module of the module table (kvogdbt, kvosts, ...)"},
    };
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    HeldFifo fifo(KVO_PATH_FIFO_STS);
    for (const auto &c : cases) {
        ToolRun run = RunTool(Kvomsg(c.first));
        EXPECT_TRUE(run.status == 2 && run.out.empty()) << c.second;
        EXPECT_EQ(std::string("kvomsg: ") + c.second + " (see kvomsg --help)\n", run.err);
    }
    EXPECT_EQ("", fifo.Drain());
}

// Each cause of a failed send in one line, exit 1; -v adds the runtime's own.
TEST(Kvomsg, AFailedSendIsOneLineWithItsCause)
{
    const auto path = [](KvoPathId id) { return std::string(KvoPath(id)); };
    for (int c = 0; c < 5; ++c) {
        KvoRoot root;
        int held = -1, queued = 0;
        std::string fifo = c == 0 ? "FifoSts" : c == 1 ? "FifoEk" : c == 2 ? "FifoLog" : c == 3 ? "FifoDisp" : "FifoPare";
        if (c == 1)
            root.MakeFifo(KVO_PATH_FIFO_EK);
        if (c == 2)
            close(creat(KvoPath(KVO_PATH_FIFO_LOG), 0644));
        if (c == 3)
            rmdir(KvoPath(KVO_PATH_FIFO_DIR));
        if (c == 4 && root.MakeFifo(KVO_PATH_FIFO_PARE)) {
            HeldFifo full(KVO_PATH_FIFO_PARE);
            full.Fill();
            held = dup(full.fd);
            ioctl(held, FIONREAD, &queued);
        }
        const std::string cause[] = {
            "FifoSts does not exist (" + path(KVO_PATH_FIFO_STS) + ")",
            "nobody reads FifoEk (" + path(KVO_PATH_FIFO_EK) + ")",
            path(KVO_PATH_FIFO_LOG) + " is not a FIFO",
            "the FIFO folder " + path(KVO_PATH_FIFO_DIR) + " does not exist (is KVO_ROOT right?)",
            "FifoPare is full: " + std::to_string(queued) + " bytes wait for a reader that does not keep up (" +
                path(KVO_PATH_FIFO_PARE) + ")"};
        std::vector<std::string> args = {"send", fifo, "sts", "900"};
        if (c == 0)
            args.insert(args.begin(), "-v");
        ToolRun run = RunTool(Kvomsg(args));
        std::string runtime = "kvomsg: runtime: FIFO read open error (fifo=" + path(KVO_PATH_FIFO_STS) +
                              ", errno=2(No such file or directory))\n";
        EXPECT_TRUE(run.status == 1 && run.out.empty()) << fifo;
        EXPECT_EQ((c == 0 ? runtime + runtime + runtime : "") + "kvomsg: not sent: " + cause[c] + "\n", run.err);
        close(held);
    }
}

// Watch refuses a FIFO another process (this test) reads, as its frames
// would be lost to it; it watches one that is only written, and --take
// reads anyway.  A frame waits in the FIFO each time.
TEST(Kvomsg, WatchLeavesAFifoAnotherProcessReads)
{
    for (int mode : {O_RDONLY, O_WRONLY, O_RDWR}) {
        KvoRoot root;
        ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_LOG));
        const char *path = KvoPath(KVO_PATH_FIFO_LOG);
        int rw = open(path, O_RDWR | O_NONBLOCK), held = open(path, mode | O_NONBLOCK);
        ASSERT_EQ(0, ComFIFOPutData2(path, 52, 901, Data("").c_str()));
        close(rw);
        std::vector<std::string> args = {"watch", "log", "--count", "1"};
        if (mode == O_RDWR)
            args.push_back("--take");
        ToolRun run = RunTool(Kvomsg(args));
        close(held);
        const std::string pid = std::to_string(getpid()), watching = "watching " + std::string(path) + "\n";
        const std::string head = mode == O_RDONLY ? "kvomsg: pid " + pid + " ("
                                 : mode == O_RDWR ? "kvomsg: warning: taking the frames of FifoLog from pid " + pid + " ("
                                                  : watching;
        const std::string tail = mode != O_RDONLY ? watching
                                                  : ") reads FifoLog: watching would take its frames (kvomsg monitor "
                                                    "shows them without; --take reads anyway)\n";
        EXPECT_EQ(mode == O_RDONLY, run.status == 1) << run.err;
        EXPECT_EQ(0u, run.err.find(head)) << run.err;
        EXPECT_EQ(run.err.size() - tail.size(), run.err.rfind(tail)) << run.err;
        EXPECT_EQ(mode != O_RDONLY, run.out.find("FifoLog kvogdbt(52) 901 alive request\n") != std::string::npos)
            << run.out;
    }
}

} // namespace
