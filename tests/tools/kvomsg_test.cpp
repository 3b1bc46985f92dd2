// The frame tool against the runtime's own frame functions: frames that
// ComFIFOPutData2 wrote decode to their fields, frames that kvomsg sends
// read back through ComFIFOGetData; each bad argument and each failed send
// is one line naming it, and watch takes no frames another process reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

std::vector<std::string> Kvomsg(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {KVOMSG_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

TEST(KvomsgHelp, OnStandardOutputWithEveryCommand)
{
    const std::vector<std::string> cases[] = {{"--help"}, {"help"}, {"-v", "-h"}, {"watch", "--help"}};
    for (const std::vector<std::string> &c : cases) {
        ToolRun run = RunTool(Kvomsg(c), "", true);
        EXPECT_EQ(run.status, 0) << c[0];
        EXPECT_EQ(run.err, "") << c[0];
        for (const char *usage : {"usage: kvomsg [-v] send FIFO MODULE COMMAND", "kvomsg decode [FILE]",
                                  "kvomsg watch FIFO [--count N] [--take]",
                                  "kvomsg monitor [--pid PID]..."})
            EXPECT_NE(run.out.find(usage), std::string::npos) << c[0] << ": " << usage;
    }
}

TEST(KvomsgArguments, EachBadOneIsNamedInOneLineAndSendsNothing)
{
    const struct {
        std::vector<std::string> args;
        const char *error; // after "kvomsg: ", before " (see kvomsg --help)"
    } cases[] = {
        {{}, "which command? send, decode, watch or monitor"},
        {{"sned"}, "unknown command 'sned': send, decode, watch or monitor"},
        {{"-x", "send"}, "unknown option '-x'"},
        {{"send", "sts", "sts"}, "send needs FIFO MODULE COMMAND"},
        {{"send", "FifoNone", "sts", "900"},
         "'FifoNone' is no FIFO or peer module: FifoGdbt, FifoSts, FifoStsp, FifoPare, FifoAuth, "
         "FifoDisp, FifoEk, FifoLog, FifoFtp"},
        {{"send", "sts", "nobody", "900"}, "'nobody' is no module (0 to 999, or a name such as kvosts or sts)"},
        {{"send", "sts", "sts", "1000"}, "'1000' is no command (0 to 999, or a name such as terminate)"},
        {{"send", "sts", "sts", "900", "--hex", "zz"}, "--hex 'zz': not pairs of hex digits"},
        {{"send", "sts", "sts", "900", "--hex", "0"}, "--hex '0': not pairs of hex digits"},
        {{"send", "sts", "sts", "900", "--text"}, "--text needs a value"},
        {{"send", "sts", "sts", "900", "--text", std::string(FIFO_MSG_DATA_SIZE + 1, 'x')},
         "data of 251 bytes: a frame holds 250"},
        {{"send", "sts", "sts", "900", "--text", "a", "--hex", "01"}, "give the data once, with --text or --hex"},
        {{"send", "sts", "sts", "900", "--bytes", "01"}, "unknown option '--bytes' for send"},
        {{"send", "sts", "sts", "900", "01"}, "unexpected argument '01'"},
        {{"decode", "a", "b"}, "unexpected argument 'b'"},
        {{"watch", "sts", "--count", "0"}, "--count '0': not a number from 1 to 1000000"},
        {{"watch", "sts", "--take", "1"}, "unexpected argument '1'"},
        {{"monitor", "--pid", "me"}, "--pid 'me': not a process id"},
        {{"monitor", "kvonone"}, "'kvonone' is no module of the module table (kvogdbt, kvosts, ...)"},
    };
    KvoRoot root;
    ASSERT_TRUE(root.MakeAllFifos());
    HeldFifo fifo(KVO_PATH_FIFO_STS);
    for (const auto &c : cases) {
        ToolRun run = RunTool(Kvomsg(c.args), "", true);
        EXPECT_EQ(run.status, 2) << c.error;
        EXPECT_EQ(run.err, std::string("kvomsg: ") + c.error + " (see kvomsg --help)\n");
        EXPECT_EQ(run.out, "") << c.error;
    }
    EXPECT_EQ(fifo.Drain(), "");
}

// Fills a FIFO held for reading and writing up to the last frame that fits.
int HeldFull(KvoPathId id)
{
    int fd = open(KvoPath(id), O_RDWR | O_NONBLOCK);
    const std::string frame(FIFO_MSG_SIZE, 'x');
    while (write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size())) {
    }
    return fd;
}

std::string PathOf(KvoPathId id) { return KvoPath(id); }

TEST(KvomsgSend, AFailedSendIsOneLineWithItsCause)
{
    int held = -1;
    const struct {
        const char *fifo;
        std::function<void(const KvoRoot &)> setup;
        std::function<std::string()> cause;
    } cases[] = {
        {"FifoSts", [](const KvoRoot &) {},
         [] { return "FifoSts does not exist (" + PathOf(KVO_PATH_FIFO_STS) + ")"; }},
        {"FifoEk", [](const KvoRoot &r) { r.MakeFifo(KVO_PATH_FIFO_EK); },
         [] { return "nobody reads FifoEk (" + PathOf(KVO_PATH_FIFO_EK) + ")"; }},
        {"FifoLog", [](const KvoRoot &) { close(creat(KvoPath(KVO_PATH_FIFO_LOG), 0644)); },
         [] { return PathOf(KVO_PATH_FIFO_LOG) + " is not a FIFO"; }},
        {"FifoDisp", [](const KvoRoot &) { rmdir(KvoPath(KVO_PATH_FIFO_DIR)); },
         [] { return "the FIFO folder " + PathOf(KVO_PATH_FIFO_DIR) + " does not exist (is KVO_ROOT right?)"; }},
        {"FifoPare",
         [&](const KvoRoot &r) {
             r.MakeFifo(KVO_PATH_FIFO_PARE);
             held = HeldFull(KVO_PATH_FIFO_PARE);
         },
         [&] {
             int queued = 0;
             ioctl(held, FIONREAD, &queued);
             return "FifoPare is full: " + std::to_string(queued) +
                    " bytes wait for a reader that does not keep up (" + PathOf(KVO_PATH_FIFO_PARE) + ")";
         }},
    };
    for (const auto &c : cases) {
        KvoRoot root;
        c.setup(root);
        ToolRun run = RunTool(Kvomsg({"send", c.fifo, "sts", "900"}), "", true);
        EXPECT_EQ(run.status, 1) << c.fifo;
        EXPECT_EQ(run.err, "kvomsg: not sent: " + c.cause() + "\n");
        EXPECT_EQ(run.out, "") << c.fifo;
    }
    close(held);
}

TEST(KvomsgSend, VerboseAddsTheRuntimesOwnLines)
{
    KvoRoot root;
    ToolRun run = RunTool(Kvomsg({"-v", "send", "sts", "sts", "900"}), "", true);
    std::string line = "kvomsg: runtime: FIFO read open error (fifo=" + PathOf(KVO_PATH_FIFO_STS) +
                       ", errno=2(No such file or directory))\n";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, line + line + line + "kvomsg: not sent: FifoSts does not exist (" +
                           PathOf(KVO_PATH_FIFO_STS) + ")\n");
}

// A child that holds FifoLog open in one mode, with one frame queued in it,
// until the pipe it was given closes.
struct FifoHolder {
    explicit FifoHolder(int mode)
    {
        int ready[2], hold[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(hold), 0);
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(hold[1]);
            // Read-write first: the queued frame needs a reader to be written.
            int rw = open(KvoPath(KVO_PATH_FIFO_LOG), O_RDWR | O_NONBLOCK);
            ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_LOG), 52, 53,
                            Data(std::string("20261204090507  \x04\x00", 18)).c_str());
            if (mode != O_RDWR) {
                open(KvoPath(KVO_PATH_FIFO_LOG), mode | O_NONBLOCK);
                close(rw);
            }
            close(ready[1]);
            char c;
            static_cast<void>(!read(hold[0], &c, 1));
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        char c;
        static_cast<void>(!read(ready[0], &c, 1)); // ends when the child is set
        close(ready[0]);
        release = hold[1];
    }
    ~FifoHolder()
    {
        close(release);
        waitpid(pid, nullptr, 0);
    }
    pid_t pid;
    int release;
};

// The template with PID the holder's pid and CMD the command kvomsg named
// after it (the test's own name, or the emulator's under qemu-user).
std::string Named(const std::string &tmpl, pid_t pid, const std::string &got)
{
    const std::string mark = "PID (CMD)";
    size_t at = tmpl.find(mark);
    if (at == std::string::npos)
        return tmpl;
    std::string head = tmpl.substr(0, at) + std::to_string(pid) + " (";
    size_t end = got.find(')', head.size());
    if (got.compare(0, head.size(), head) != 0 || end == std::string::npos)
        return tmpl;
    return head + got.substr(head.size(), end - head.size()) + tmpl.substr(at + mark.size() - 1);
}

TEST(KvomsgWatch, AFifoAnotherProcessReadsIsLeftToIt)
{
    const std::string frame = " FifoLog kvogdbt(52) 53 guard log record, guard log 2026-12-04 09:05:07, kind 4/0\n";
    const struct {
        int mode;
        bool take;
        int status;
        const char *err; // PID stands for the holder's pid
        bool printed;
    } cases[] = {
        {O_RDONLY, false, 1,
         "kvomsg: pid PID (CMD) reads FifoLog: watching would take its frames (kvomsg monitor "
         "shows them without; --take reads anyway)\n",
         false},
        {O_RDWR, false, 1,
         "kvomsg: pid PID (CMD) reads FifoLog: watching would take its frames (kvomsg monitor "
         "shows them without; --take reads anyway)\n",
         false},
        {O_WRONLY, false, 0, "", true},
        {O_RDWR, true, 0, "kvomsg: warning: taking the frames of FifoLog from pid PID (CMD)\n", true},
    };
    for (const auto &c : cases) {
        KvoRoot root;
        ASSERT_TRUE(root.MakeFifo(KVO_PATH_FIFO_LOG));
        FifoHolder holder(c.mode);
        std::vector<std::string> args = {"watch", "log", "--count", "1"};
        if (c.take)
            args.push_back("--take");
        ToolRun run = RunTool(Kvomsg(args), "", true);
        EXPECT_EQ(run.status, c.status) << c.mode << run.err;
        std::string want = Named(c.err, holder.pid, run.err);
        EXPECT_EQ(run.err, want + (c.printed ? "watching " + PathOf(KVO_PATH_FIFO_LOG) + "\n" : ""));
        bool printed = run.out.size() > frame.size() &&
                       run.out.compare(run.out.size() - frame.size(), frame.size(), frame) == 0;
        EXPECT_EQ(printed, c.printed) << c.mode << ": " << run.out;
    }
}

} // namespace
