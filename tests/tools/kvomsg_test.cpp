// kvomsg against the runtime's own frame writer: what it sends and decodes; each bad argument
// and each failed send is one line naming it; watch takes no frames another process reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kvoroot.h"
#include "kvoruntime.h"
#include "runtool.h"

namespace {

// FIFOs, modules and commands by name or number, data as text or hex: the bytes ComFIFOPutData2
// writes; decoded from a file and from standard input, a short last chunk named.
TEST(Kvomsg, SendsAndDecodesFramesAsTheRuntimeWritesThem)
{
    const struct { std::vector<std::string> args; KvoPathId fifo; int mid, cid; std::string head, line;
    } cases[] = {
        {{"FifoSts", "sts", "terminate", "--hex", "01"}, KVO_PATH_FIFO_STS, 80, 900, "\x01",
         "kvosts(80) 900 terminate, order 1"},
        {{"gdbt", "80", "410", "--hex", "20 20 01"}, KVO_PATH_FIFO_GDBT, 80, 410, "  \x01",
         "kvosts(80) 410 IO answer (loop signal), loop state 1"},
        {{"kvoauth", "gdbt", "AUTH_GUARD", "--text", "hello"}, KVO_PATH_FIFO_AUTH, 52, 255, "hello",
         "kvogdbt(52) 255 guard notice to authentication, notice 'h','e'"},
        {{"20", "0", "0x97"}, KVO_PATH_FIFO_DISP, 0, 151, "", "module 0(0) 151 display message"},
        {{"log", "gdbt", "53", "--hex", "32303236313230343039303530372020 04 00"}, KVO_PATH_FIFO_LOG, 52, 53,
         std::string("20261204090507  \x04\x00", 18),
         "kvogdbt(52) 53 guard log record, guard log 2026-12-04 09:05:07, kind 4/0"},
        {{"sts", "7", "999", "--hex", "61225c62ff"}, KVO_PATH_FIFO_STS, 7, 999, "a\"\\b\xff",
         "module 7(7) 999 command 999, data \"a\\\"\\\\b\\xff\""},
    };
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    std::string frames, lines;
    for (const auto &c : cases) {
        HeldFifo fifo(c.fifo);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "send");
        ToolRun run = RunTool(KVOMSG_PATH, args);
        EXPECT_EQ(0, run.status) << c.line;
        EXPECT_EQ(c.line + "\n", run.out.substr(run.out.find(": ") + 2));
        const std::string sent = fifo.Drain();
        ASSERT_EQ(0, ComFIFOPutData2(KvoPath(c.fifo), c.mid, c.cid, Data(c.head).c_str()));
        EXPECT_EQ(fifo.Drain(), sent) << c.line;
        frames += sent;
        lines += c.line + "\n";
    }
    const std::string file = root.Dir() + "/frames";
    std::ofstream(file) << frames << "080900";
    lines += "kvosts(80) 900 terminate, order 0 [short frame: 6 bytes]\n";
    ToolRun run = RunTool(KVOMSG_PATH, {"decode", file});
    EXPECT_TRUE(run.status == 0 && run.out == lines) << run.out;
    EXPECT_EQ(lines, RunTool(KVOMSG_PATH, {"decode"}, file).out);
}

// --help on standard output; one line per kind of bad argument, exit 2, nothing sent.
TEST(Kvomsg, HelpAndBadArguments)
{
    ToolRun help = RunTool(KVOMSG_PATH, {"watch", "--help"});
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
        ToolRun run = RunTool(KVOMSG_PATH, c.first);
        EXPECT_TRUE(run.status == 2 && run.out.empty()) << c.second;
        EXPECT_EQ(std::string("kvomsg: ") + c.second + " (see kvomsg --help)\n", run.err);
    }
    EXPECT_EQ("", fifo.Drain());
}

// Each cause of a failed send in one line, exit 1; -v adds the runtime's own.
TEST(Kvomsg, AFailedSendIsOneLineWithItsCause)
{
    const auto path = [](KvoPathId id) { return std::string(KvoPath(id)); };
    const char *const fifos[] = {"FifoSts", "FifoEk", "FifoLog", "FifoDisp", "FifoPare"};
    for (int c = 0, queued = 0; c < 5; ++c) {
        KvoRoot root;
        if (c == 1 || c == 4)
            root.MakeFifo(c == 1 ? KVO_PATH_FIFO_EK : KVO_PATH_FIFO_PARE);
        (void)(c == 2   ? close(creat(KvoPath(KVO_PATH_FIFO_LOG), 0644))
               : c == 3 ? rmdir(KvoPath(KVO_PATH_FIFO_DIR))
                        : 0);
        HeldFifo full(c == 4 ? KvoPath(KVO_PATH_FIFO_PARE) : "/nonexistent");
        if (c == 4)
            full.Fill(), ioctl(full.fd, FIONREAD, &queued);
        const std::string cause[] = {
            "FifoSts does not exist (" + path(KVO_PATH_FIFO_STS) + ")",
            "nobody reads FifoEk (" + path(KVO_PATH_FIFO_EK) + ")",
            path(KVO_PATH_FIFO_LOG) + " is not a FIFO",
            "the FIFO folder " + path(KVO_PATH_FIFO_DIR) + " does not exist (is KVO_ROOT right?)",
            "FifoPare is full: " + std::to_string(queued) + " bytes wait for a reader that does not keep up (" +
                path(KVO_PATH_FIFO_PARE) + ")"};
        std::vector<std::string> args = {"-v", "send", fifos[c], "sts", "900"}; // -v for the first
        ToolRun run = RunTool(KVOMSG_PATH, {args.begin() + (c == 0 ? 0 : 1), args.end()});
        std::string runtime = "kvomsg: runtime: FIFO read open error (fifo=" + path(KVO_PATH_FIFO_STS) +
                              ", errno=2(No such file or directory))\n";
        EXPECT_TRUE(run.status == 1 && run.out.empty()) << fifos[c];
        EXPECT_EQ((c == 0 ? runtime + runtime + runtime : "") + "kvomsg: not sent: " + cause[c] + "\n", run.err);
    }
}

// Watch refuses a FIFO this test reads (it would take its frames), watches one only written; --take reads anyway.
TEST(Kvomsg, WatchLeavesAFifoAnotherProcessReads)
{
    for (int mode : {O_RDONLY, O_WRONLY, O_RDWR}) {
        KvoRoot root;
        ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_LOG));
        const char *path = KvoPath(KVO_PATH_FIFO_LOG);
        int rw = open(path, O_RDWR | O_NONBLOCK), held = open(path, mode | O_NONBLOCK);
        ASSERT_EQ(0, ComFIFOPutData2(path, 52, 901, Data("").c_str()));
        close(rw);
        std::vector<std::string> args = {"watch", "log", "--count", "1", "--take"};
        ToolRun run = RunTool(KVOMSG_PATH, {args.begin(), args.end() - (mode == O_RDWR ? 0 : 1)});
        close(held);
        const std::string pid = std::to_string(getpid()), watching = "watching " + std::string(path) + "\n",
                          head = mode == O_WRONLY
                                     ? watching
                                     : (mode == O_RDWR ? "kvomsg: warning: taking the frames of FifoLog from pid "
                                                       : "kvomsg: pid ") +
                                           pid + " (",
                          tail = mode != O_RDONLY ? watching
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
