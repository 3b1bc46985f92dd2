// Real System V segments under a private key file and real children running argvdump.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clocks.h"
#include "kvoroot.h"
#include "kvoruntime.h"
#include "logcapture.h"

namespace {

int AttachCount(key_t key) // -1 without a segment
{
    shmid_ds ds{};
    int id = shmget(key, 0, 0);
    return id < 0 || shmctl(id, IPC_STAT, &ds) != 0 ? -1 : static_cast<int>(ds.shm_nattch);
}

int WaitChild(pid_t pid) // its status, or -1 when the system reaped it
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

std::string Hex(const void *p)
{
    char s[32];
    return std::snprintf(s, sizeof s, "0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p))), s;
}

class ShmFork : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGCHLD, SIG_DFL); }
    void TearDown() override // keys of our key file's inode only
    {
        signal(SIGCHLD, SIG_DFL);
        for (int projId : {'c', 's', 'o', 'r', 'i', 'p', 'm', 'd'})
            shmctl(shmget(ComShmKey(projId), 0, 0), IPC_RMID, nullptr);
    }
    bool Untouched() const { return std::memcmp(pi.get(), &zero, sizeof zero) == 0; }

    KvoRoot root;
    LogCapture log;
    std::unique_ptr<ProcInfo> pi = std::make_unique<ProcInfo>();
    const ProcInfo zero{};
};

// Create, attach read-write and read-only (a write there kills), detach, remove.
TEST_F(ShmFork, SegmentLifeFromCreateToRemove)
{
    key_t key = ComShmKey('s');
    int id = ComShmCreat(pi.get(), key, 256);
    ASSERT_GE(id, 0) << log.Dump();
    char *rw = static_cast<char *>(ComShmOpenRw(pi.get(), key, id));
    ASSERT_NE(KVO_SHM_FAILED, rw);
    std::strcpy(rw, "module segment");
    const char *ro = static_cast<const char *>(ComShmOpenRead(pi.get(), key, 256));
    ASSERT_NE(KVO_SHM_FAILED, ro);
    EXPECT_TRUE(ro != rw && pi->pShmSchedule == ro && pi->iShmIdSchedule == id);
    EXPECT_TRUE(std::strcmp("module segment", ro) == 0 &&
                log.Count("success of shmat(pShared=" + Hex(ro) + ")\n", LOG_INFO) == 1);
    pid_t child = fork();
    if (child == 0) {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGSEGV, SIG_DFL); // past any sanitizer's handler
        *const_cast<volatile char *>(ro) = 'x';
        _exit(0);
    }
    int status = WaitChild(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
    EXPECT_TRUE(ComShmClose(pi.get(), key) == 0 && AttachCount(key) == 1); // the read-only one went
    ASSERT_EQ(0, shmdt(rw));
    EXPECT_TRUE(ComShmRm(pi.get(), key) == 0 && AttachCount(key) == -1);
    key = ComShmKey('c');
    void *p = ComShmRwGet(pi.get(), key, 256);
    ASSERT_NE(KVO_SHM_FAILED, p);
    EXPECT_TRUE(pi->pShmConfig == p && pi->iShmIdConfig == shmget(key, 0, 0));
    EXPECT_TRUE(ComShmRwFree(pi.get(), key) == 0 && AttachCount(key) == 0);
}

// Each project id fills its own id field; the card-master key and family keep apart.
TEST_F(ShmFork, KeysFillTheirOwnFields)
{
    std::vector<size_t> fields;
    for (int projId : {'c', 's', 'o', 'r', 'i', 'p', 'm'}) {
        auto rec = std::make_unique<ProcInfo>();
        std::memset(rec.get(), 0xa5, sizeof(ProcInfo));
        int id = ComShmCreat(rec.get(), ComShmKey(projId), 256);
        std::memset(&rec->uShmIdRecorded, 0xa5, sizeof rec->uShmIdRecorded);
        const int *w = reinterpret_cast<const int *>(rec.get());
        for (size_t i = 0; i < sizeof(ProcInfo) / sizeof(int); ++i)
            if (w[i] != static_cast<int>(0xa5a5a5a5u))
                fields.push_back(i);
        EXPECT_EQ(id, projId == 'c' ? rec->iShmIdConfig : projId == 'o' ? rec->iShmIdOther : id);
    }
    EXPECT_TRUE(fields.size() == 7 && std::set<size_t>(fields.begin(), fields.end()).size() == 7);
    void *other = ComShmOpenRw(pi.get(), ComShmKey('o'), shmget(ComShmKey('o'), 0, 0));
    EXPECT_TRUE(other != KVO_SHM_FAILED && pi->pShmOther == other);

    key_t card = ComShmKey('d');
    char rec[8] = "card";
    int id = ComCardMasterShmCreat(rec, card, 256);
    ASSERT_GE(id, 0);
    EXPECT_TRUE(ComCardMasterShmOpenRw(rec, card, id) != KVO_SHM_FAILED &&
                ComCardMasterShmOpenRead(rec, card, 256) != KVO_SHM_FAILED);
    EXPECT_EQ(1, log.Count("shmat(pStCardMst = " + std::to_string(id) + ")\n", LOG_INFO));
    const ProcInfo before = *pi;
    log.Clear();
    EXPECT_TRUE(ComShmCreat(pi.get(), card, 256) == -1 && ComShmOpenRw(pi.get(), card, id) == KVO_SHM_FAILED &&
                ComShmOpenRead(pi.get(), card, 256) == KVO_SHM_FAILED && ComShmClose(pi.get(), card) == -1 &&
                ComShmRm(pi.get(), card) == -1);
    EXPECT_EQ(4, AttachCount(card)); // the close and remove refused before any call
    key_t config = ComShmKey('c');
    EXPECT_TRUE(ComCardMasterShmCreat(rec, config, 256) == -1 &&
                ComCardMasterShmOpenRw(rec, config, shmget(config, 0, 0)) == KVO_SHM_FAILED &&
                ComCardMasterShmOpenRead(rec, config, 256) == KVO_SHM_FAILED);
    std::string want, got;
    for (const char *f : {"ShmCreat", "ShmOpenRw", "ShmOpenRead", "ShmClose", "ShmRm", "CardMasterShmCreat",
                          "CardMasterShmOpenRw", "CardMasterShmOpenRead"})
        want += std::string("error of Com") + f + "(ftok())\n";
    for (const std::string &l : log.AtPriority(LOG_INFO))
        got += l.rfind("error of ", 0) == 0 ? l : "";
    EXPECT_EQ(want, got);
    EXPECT_EQ(0, std::memcmp(&before, pi.get(), sizeof before));
    EXPECT_STREQ("card", rec);
}

// No key file: keys -1; attach without a segment or past its size, double detach,
// and a remove without an id of ours (0 is another segment's) all fail.
TEST_F(ShmFork, SegmentFailures)
{
    void *p = ComShmRwGet(pi.get(), ComShmKey('c'), 256);
    key_t o = ComShmKey('o');
    ASSERT_EQ(0, std::remove(KvoPath(KVO_PATH_SHM_KEY)));
    EXPECT_TRUE(ComShmKey('d') == -1 && ComShmClose(pi.get(), o) == -1 && ComShmClose(pi.get(), -1) == 0);
    EXPECT_TRUE(log.Has("CONFIG(pShared = " + Hex(p) + ")\n", LOG_DEBUG));
    EXPECT_EQ("-1 -1 0", std::to_string(ComShmClose(pi.get(), -1)) + " " + std::to_string(ComShmRwFree(pi.get(), -1)) +
                             " " + std::to_string(ComShmRm(pi.get(), -1))); // detached already
    close(open(KvoPath(KVO_PATH_SHM_KEY), O_WRONLY | O_CREAT, 0644));
    log.Clear();
    o = ComShmKey('o');
    EXPECT_EQ(KVO_SHM_FAILED, ComShmOpenRead(pi.get(), o, 228));
    ASSERT_GE(ComShmCreat(pi.get(), o, 228), 0);
    const ProcInfo before = *pi;
    EXPECT_TRUE(ComShmOpenRead(pi.get(), o, 229) == KVO_SHM_FAILED &&
                std::memcmp(&before, pi.get(), sizeof before) == 0);
    EXPECT_EQ(before.iShmIdOther, ComShmCreat(pi.get(), o, 100)); // fits: the same segment
    EXPECT_TRUE(ComShmClose(pi.get(), ComShmKey('m')) == -1 &&
                log.Has("MEMCTLDATA(pShared = 0x0)\n", LOG_DEBUG)); // never attached
    key_t r = ComShmKey('r');
    int id = shmget(r, 256, IPC_CREAT | 0666);
    ASSERT_NE(KVO_SHM_FAILED, ComShmOpenRw(pi.get(), r, id)); // the address only
    EXPECT_TRUE(ComShmRm(pi.get(), r) == -1 && AttachCount(r) >= 0);
    EXPECT_EQ((std::vector<std::string>{"error of shmget(iShmId=-1, errno=2)\n",
                                        "error of shmget(iShmId=-1, errno=22)\n", "error of shmdt(errno=22)\n",
                                        "success of shmat(pShared=" + Hex(pi->pShmController) + ")\n",
                                        "error of ComShmRm(no segment id recorded)\n"}),
              log.AtPriority(LOG_INFO));
    EXPECT_TRUE(ComShmCreat(pi.get(), r, 256) == id && ComShmRm(pi.get(), r) == 0);
}

const char kArgvDump[] = KVO_ARGVDUMP;

// The child's argv: program, row id plus offset (widest and lowest), extra argument.
TEST_F(ShmFork, ChildSeesPathModuleIdAndExtraArgument)
{
    const std::string dump = root.Dir() + "/argv";
    setenv("KVO_ARGVDUMP", dump.c_str(), 1);
    const struct { int row, offset; const char *arg, *tail; } cases[] = {
        {20, 0, "7", "52\n7\n"}, {30, 0, "7", "170\n7\n"}, {20, 0, nullptr, "52\n"},
        {3, 5, "", "25\n\n"},    {0, 919, "x", "999\nx\n"}, {30, -269, "x", "-99\nx\n"}};
    for (const auto &c : cases) {
        int pid = ComProcessCreate(pi.get(), kArgvDump, c.row, c.offset, c.arg);
        ASSERT_GT(pid, 0);
        signal(SIGCHLD, SIG_DFL), WaitChild(pid); // reaped already if it ended while ignored
        EXPECT_EQ(std::string(c.arg ? "3\n" : "2\n") + kArgvDump + "\n" + c.tail, ReadFile(dump));
    }
    unsetenv("KVO_ARGVDUMP");
    ComModuleInfoCreate(pi.get(), 65536 + 52); // taken as 16 bits
    EXPECT_TRUE(pi->moduleInfo.mid == 52 && pi->moduleInfo.name == std::string("kvogdbt") &&
                pi->moduleInfo.pid == getpid());
    EXPECT_STREQ("kvogdbt", ComModuleName(52));
    EXPECT_TRUE(!ComModuleName(99) && !ComModuleName(65536 + 52) && !ComModuleName(-1));
}

// The parent records the child by row, SIGCHLD ignored; bad arguments change nothing.
TEST_F(ShmFork, ParentBookkeepingAndRefusals)
{
    pi->iChildCount = 5;
    int pid = ComProcessCreate(pi.get(), kArgvDump, 3, 0, "7");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(pi->chldPid[3] == pid && pi->iProcessState[3] == 1 && pi->pProcName[3] == kArgvDump);
    EXPECT_TRUE(pi->iChildModId[3] == 20 && pi->iChildCount == 6 && pi->chldPid[20] == 0);
    EXPECT_EQ(SIG_IGN, signal(SIGCHLD, SIG_DFL));
    *pi = zero;
    const struct { int row, offset; const char *line; } cases[] = {
        {-1, 0, "row -1 outside 0..32"}, {33, 0, "row 33 outside 0..32"}, {INT_MIN, 0, "row -2147483648 outside 0..32"},
        {0, 920, "module id 1000 outside -99..999"}, {30, -270, "module id -100 outside -99..999"},
        {30, INT_MAX, "module id 2147483817 outside -99..999"}, {0, INT_MIN, "module id -2147483568 outside -99..999"}};
    std::vector<std::string> want;
    for (const auto &c : cases) {
        EXPECT_EQ(-1, ComProcessCreate(pi.get(), kArgvDump, c.row, c.offset, "7"));
        want.push_back(std::string("error of ComProcessCreate(") + c.line + ")\n");
    }
    EXPECT_EQ(-1, ComProcessCreate(pi.get(), nullptr, 20, 0, "7"));
    want.push_back("error of ComProcessCreate(no program path)\n");
    EXPECT_EQ(want, log.AtPriority(LOG_INFO));
    EXPECT_TRUE(Untouched() && signal(SIGCHLD, SIG_DFL) == SIG_DFL);
}

// A program that cannot run ends its child (127, logged with the child's pid), never a
// second caller; the grandchild start runs the vector, no bookkeeping, SIGCHLD untouched.
TEST_F(ShmFork, ChildThatCannotRunItsProgramEndsThere)
{
    const std::string missing = root.Dir() + "/none", logFile = root.Dir() + "/log", marks = root.Dir() + "/marks";
    ComLogSetSink(nullptr, nullptr);
    setenv("KVO_LOG_TARGET", ("file:" + logFile).c_str(), 1);
    ComLogOpen("FORK", LOG_PID, LOG_LOCAL4);
    const pid_t self = getpid();
    auto mark = [&] { // runs after each create, in the caller only
        std::ofstream(marks, std::ios::app) << getpid() << "\n";
        if (getpid() != self)
            _exit(0);
    };
    char a0[] = "x", a1[] = "first";
    char *const argv[] = {a0, a1, nullptr};
    int pid = ComProcessCreate(pi.get(), missing.c_str(), 5, 0, "7");
    mark();
    signal(SIGCHLD, SIG_DFL);
    int gpid = ComProcessCreateGrandChild(pi.get(), missing.c_str(), argv);
    mark();
    int status = WaitChild(gpid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
    WaitChild(pid);
    ComLogClose(), unsetenv("KVO_LOG_TARGET");
    EXPECT_EQ(std::to_string(self) + "\n" + std::to_string(self) + "\n", ReadFile(marks));
    EXPECT_TRUE(pi->chldPid[5] == pid && pi->iProcessState[5] == 1 && pi->iErrno == 0);
    const std::string text = ReadFile(logFile), err = ", errno=" + std::to_string(ENOENT) + ")\n";
    for (int p : {pid, gpid})
        EXPECT_NE(std::string::npos, text.find("[" + std::to_string(p) + "]: execv failed(" + missing + err)) << text;
    EXPECT_NE(std::string::npos, text.find("[" + std::to_string(pid) + "]: iProcessState(5) = 0\n")) << text;

    const std::string dump = root.Dir() + "/argv";
    setenv("KVO_ARGVDUMP", dump.c_str(), 1);
    std::string path = kArgvDump;
    char *const argv2[] = {&path[0], a1, nullptr};
    *pi = zero;
    status = WaitChild(ComProcessCreateGrandChild(pi.get(), kArgvDump, argv2));
    unsetenv("KVO_ARGVDUMP");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status; // SIGCHLD untouched
    EXPECT_EQ("2\n" + path + "\nfirst\n", ReadFile(dump));
    EXPECT_TRUE(Untouched());
}

// The process-state wait: fails without its segment, else polls (not spins) for the word.
TEST_F(ShmFork, ProcStateCheckWaitsForTheWord)
{
    EXPECT_TRUE(ComProcStateCheck(pi.get()) == -1 && log.Has("error of ComShmOpenRead()\n", LOG_INFO));
    key_t key = ComShmKey('p');
    int id = shmget(key, 4, IPC_CREAT | 0666);
    auto poke = [id](int value) {
        void *w = shmat(id, nullptr, 0);
        *static_cast<volatile int *>(w) = value;
        shmdt(w);
    };
    poke(5);
    EXPECT_TRUE(ComProcStateCheck(pi.get()) == 0 && log.Has("pProcInfo->pProcStateData->iiProcState = 5\n"));
    EXPECT_TRUE(static_cast<void *>(pi->pProcStateData) == pi->pShmProcState && pi->iShmIdProcState == id);
    poke(0);
    pid_t child = fork();
    if (child == 0) {
        for (int ms = 0; AttachCount(key) < 1 && ms < 60000; ms += 10) // the waiting test's attachment
            usleep(10000);
        usleep(500000);
        poke(42);
        _exit(0);
    }
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    alarm(120); // a wait that never ends fails the test instead of hanging it
    EXPECT_EQ(0, ComProcStateCheck(pi.get()));
    alarm(0);
    EXPECT_LT(Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu, 0.1) << "s of CPU";
    EXPECT_EQ(0, WaitChild(child));
    EXPECT_TRUE(log.Has("pProcInfo->pProcStateData->iiProcState = 42\n")) << log.Dump();
    EXPECT_EQ(0, AttachCount(key)); // detached again
}

} // namespace
