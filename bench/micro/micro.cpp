// micro.cpp - in-process costs of the service's hot paths: building and
// parsing a frame, one ComSelect turn for a ready descriptor and for a timer
// byte, one send to a FIFO that its reader holds open, one command frame
// (901) through FifoReadFunc, and one log line, masked and written.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fifosend.h"
#include "gdbt.h"

namespace {

// A private root with FifoSts (held open for reading by us, as the status
// module holds it) for the sends; the log goes to /dev/null so that a
// written line costs its formatting and one write, not a growing file.
struct Root {
    std::string dir;
    int stsFd = -1;

    Root()
    {
        char tmpl[] = "/tmp/kvomicro.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            std::abort();
        dir = tmpl;
        setenv("KVO_ROOT", dir.c_str(), 1);
        setenv("KVO_LOG_TARGET", "file:/dev/null", 1);
        mkdir((dir + "/tmp").c_str(), 0777);
        mkdir((dir + "/tmp/pipe").c_str(), 0777);
        if (mkfifo(FIFO_NAME_STS, 0666) != 0 || mkfifo(FIFO_NAME_EK, 0666) != 0)
            std::abort();
        stsFd = open(FIFO_NAME_STS, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ComLogOpen("KVOGDBT", LOG_PID, LOG_LOCAL4);
        ComLogSetMask(LOG_UPTO(LOG_INFO));
    }
    ~Root()
    {
        ComLogClose();
        close(stsFd);
        unlink(FIFO_NAME_STS);
        unlink(FIFO_NAME_EK);
        rmdir((dir + "/tmp/pipe").c_str());
        rmdir((dir + "/tmp").c_str());
        rmdir(dir.c_str());
    }
    // The FIFO holds 256 frames; empty it before each run and now and then
    // during one, outside the hot path's own work but inside the timing
    // (amortised over 128 sends).
    void Drain(int fd)
    {
        char buf[4096];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    }
    void DrainSometimes(int64_t i)
    {
        if ((i & 127) == 127)
            Drain(stsFd);
    }
};

Root &TheRoot()
{
    static Root root;
    return root;
}

ProcInfo *NewProcInfo()
{
    return static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
}

// The multiplexer blocks every signal for good; give the benchmark process
// its mask back afterwards.
struct MaskGuard {
    sigset_t saved;
    MaskGuard() { sigprocmask(SIG_SETMASK, nullptr, &saved); }
    ~MaskGuard() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
};

FifoMsg Frame(int mid, int cid)
{
    FifoMsg f;
    char data[FIFO_MSG_DATA_SIZE];
    std::memset(data, ' ', sizeof data);
    kvo::FifoFrameBuild(&f, mid, cid, data);
    return f;
}

void BM_FrameBuild(benchmark::State &state)
{
    char data[FIFO_MSG_DATA_SIZE];
    std::memset(data, ' ', sizeof data);
    FifoMsg f;
    for (auto _ : state) {
        kvo::FifoFrameBuild(&f, MY_ID, CMDID_GDBT_PRESS, data);
        benchmark::DoNotOptimize(f);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FrameBuild);

// The pipe's own write and read, for subtraction from the parse below.
void BM_PipeWriteRead(benchmark::State &state)
{
    int p[2];
    if (pipe(p) != 0)
        std::abort();
    FifoMsg f = Frame(MODID_STS, CMDID_ALIVE_REQ);
    FifoMsg in;
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(p[1], &f, sizeof f));
        benchmark::DoNotOptimize(read(p[0], &in, sizeof in));
    }
    close(p[0]);
    close(p[1]);
}
BENCHMARK(BM_PipeWriteRead);

void BM_FrameParse(benchmark::State &state)
{
    TheRoot();
    int p[2];
    if (pipe(p) != 0)
        std::abort();
    ProcInfo *pi = NewProcInfo();
    pi->iSelectDes = p[0];
    FifoMsg f = Frame(MODID_STS, CMDID_ALIVE_REQ);
    int mid = 0, cid = 0;
    char data[FIFO_MSG_DATA_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(p[1], &f, sizeof f));
        benchmark::DoNotOptimize(ComFIFOGetData(pi, &mid, &cid, data));
    }
    if (mid != MODID_STS || cid != CMDID_ALIVE_REQ)
        state.SkipWithError("frame parsed wrong");
    std::free(pi);
    close(p[0]);
    close(p[1]);
}
BENCHMARK(BM_FrameParse);

int Served(ProcInfo *) { return 0; }

// A descriptor that stays readable: every turn waits no time and calls its
// handler, which leaves the byte where it is.
void BM_SelectReadyDescriptor(benchmark::State &state)
{
    TheRoot();
    MaskGuard mask;
    int p[2];
    if (pipe(p) != 0 || write(p[1], "x", 1) != 1)
        std::abort();
    ProcInfo *pi = NewProcInfo();
    ComSelectFdzero(pi);
    pi->iaSelectDes[0] = p[0];
    pi->pSelectProc[0] = Served;
    ComSelectInit(pi);
    for (auto _ : state)
        benchmark::DoNotOptimize(ComSelect(pi));
    std::free(pi);
    close(p[0]);
    close(p[1]);
}
BENCHMARK(BM_SelectReadyDescriptor);

// A timer slot marked running whose handler puts the byte back, as the
// signal handler would at the next expiry: each turn is one wait, the
// one-byte read and the handler's one-byte write.
int Refill(ProcInfo *pi)
{
    pi->TimerCntInfo[0].iTimerState = 1;
    benchmark::DoNotOptimize(write(pi->TimerCntInfo[0].iTimerSelectDes[1], "1", 1));
    return 0;
}

void BM_SelectTimerByte(benchmark::State &state)
{
    TheRoot();
    MaskGuard mask;
    ProcInfo *pi = NewProcInfo();
    ComSelectFdzero(pi);
    if (ComTimerSet(pi, KVO_TIMER_ONESHOT, 250, Refill) == -1)
        std::abort();
    ComSelectInit(pi);
    Refill(pi);
    for (auto _ : state)
        benchmark::DoNotOptimize(ComSelect(pi));
    pi->TimerCntInfo[0].iTimerState = 0; // no POSIX timer was ever made to delete
    ComTimerDelete(pi);
    std::free(pi);
}
BENCHMARK(BM_SelectTimerByte);

void BM_PutData2HeldFifo(benchmark::State &state)
{
    Root &root = TheRoot();
    char data[FIFO_MSG_DATA_SIZE];
    std::memset(data, ' ', sizeof data);
    int64_t i = 0;
    root.Drain(root.stsFd);
    for (auto _ : state) {
        if (ComFIFOPutData2(FIFO_NAME_STS, MY_ID, CMDID_ALIVE_ANS, data) != 0)
            state.SkipWithError("send failed");
        root.DrainSometimes(i++);
    }
}
BENCHMARK(BM_PutData2HeldFifo);

// One 901 through the handler at log level 6 or 7: the frame's write into
// the command pipe, the read and parse, the 621 sent to FifoSts.
void BM_FifoReadFunc901(benchmark::State &state)
{
    Root &root = TheRoot();
    ComLogSetMask(LOG_UPTO(static_cast<int>(state.range(0))));
    int p[2];
    if (pipe(p) != 0)
        std::abort();
    ProcInfo *pi = NewProcInfo();
    pi->iSelectDes = p[0];
    gstLocalInfo = {0, 1, 2000};
    FifoMsg f = Frame(MODID_STS, CMDID_ALIVE_REQ);
    int64_t i = 0;
    root.Drain(root.stsFd);
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(p[1], &f, sizeof f));
        benchmark::DoNotOptimize(FifoReadFunc(pi));
        root.DrainSometimes(i++);
    }
    ComLogSetMask(LOG_UPTO(LOG_INFO));
    std::free(pi);
    close(p[0]);
    close(p[1]);
}
BENCHMARK(BM_FifoReadFunc901)->Arg(6)->Arg(7);

// One press byte through the device handler: the byte's write into the
// stand-in device pipe, the read, the 356 sent to FifoEk; with hold timing
// on (argument 1) also the hold timer's cancel and restart.
void BM_GDBTReadFuncPress(benchmark::State &state)
{
    Root &root = TheRoot();
    MaskGuard mask;
    const bool hold = state.range(0) != 0;
    int p[2];
    if (pipe(p) != 0)
        std::abort();
    static unsigned char config[KVO_CONFIG_SIZE];
    static unsigned char other[KVO_OTHER_SIZE];
    config[KVO_CONFIG_GUARD_BUTTON_OFF] = hold ? '1' : '0';
    ProcInfo *pi = NewProcInfo();
    pi->pConfigData = config;
    pi->pOtherData = other; // direct mode: press events to FifoEk
    pi->iSelectDes = p[0];
    pProcInfoCom = pi;
    ComSigAlrm(pi, SigAlrmHandler);
    ComSelectFdzero(pi);
    if (GdbtHoldTimerSet(pi) == -1)
        std::abort();
    gstLocalInfo = {0, 1, 2000};
    int ek = open(FIFO_NAME_EK, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const unsigned char press = GDBT_EVENT_PRESS;
    int64_t i = 0;
    root.Drain(ek);
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(p[1], &press, 1));
        benchmark::DoNotOptimize(GDBTReadFunc(pi));
        if ((i++ & 127) == 127)
            root.Drain(ek);
    }
    TimerStopFunc(pi); // no expiry may reach the process after this
    ComTimerDelete(pi);
    pProcInfoCom = nullptr;
    close(ek);
    std::free(pi);
    close(p[0]);
    close(p[1]);
}
BENCHMARK(BM_GDBTReadFuncPress)->Arg(0)->Arg(1);

// One debug line: at level 6 the mask test alone, at 7 formatted and written.
void BM_LogDebugLine(benchmark::State &state)
{
    TheRoot();
    ComLogSetMask(LOG_UPTO(static_cast<int>(state.range(0))));
    for (auto _ : state)
        ComLog(LOG_DEBUG, "pProcInfo->iSigState = %d\n", 0);
    ComLogSetMask(LOG_UPTO(LOG_INFO));
}
BENCHMARK(BM_LogDebugLine)->Arg(6)->Arg(7);

} // namespace

BENCHMARK_MAIN();
