#include "engine_fixture.h"

#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

std::vector<std::string> gCalls;

namespace {

sigset_t Usr1Set()
{
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGUSR1);
    return s;
}

// Expiries left pending by a test must not reach the default action.
void DrainUsr1()
{
    sigset_t s = Usr1Set();
    struct timespec zero = {};
    while (sigtimedwait(&s, nullptr, &zero) == SIGUSR1) {
    }
}

} // namespace

void EngineTest::SetUp()
{
    sigprocmask(SIG_SETMASK, nullptr, &savedMask_);
    sigaction(SIGUSR1, nullptr, &savedAct_);
    sigset_t s = Usr1Set();
    sigprocmask(SIG_BLOCK, &s, nullptr);
    gCalls.clear();
    p = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
    ASSERT_NE(nullptr, p);
    pProcInfoCom = p;
    ASSERT_EQ(0, ComSigAlrm(p, SigAlrmHandler));
    ComSelectFdzero(p);
}

void EngineTest::TearDown()
{
    sigset_t s = Usr1Set();
    sigprocmask(SIG_BLOCK, &s, nullptr);
    ComTimerDelete(p);
    ComSelectFdzero(p);
    DrainUsr1();
    for (int fd : ownFds_)
        close(fd);
    sigaction(SIGUSR1, &savedAct_, nullptr);
    sigemptyset(&set);
    sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
    pProcInfoCom = nullptr;
    std::free(p);
}

std::vector<int> EngineTest::Pipe()
{
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, pipe(fds));
    ownFds_.push_back(fds[0]);
    ownFds_.push_back(fds[1]);
    return {fds[0], fds[1]};
}

int EngineTest::AddAppPipe(int index, SelectProc proc)
{
    std::vector<int> fds = Pipe();
    p->iaSelectDes[index] = fds[0];
    p->pSelectProc[index] = proc;
    return fds[1];
}

void PutByte(int fd)
{
    ASSERT_EQ(1, write(fd, "1", 1));
}

int Pending(int fd)
{
    int n = -1;
    EXPECT_EQ(0, ioctl(fd, FIONREAD, &n));
    return n;
}

void DeliverPendingUsr1()
{
    sigset_t s = Usr1Set();
    sigprocmask(SIG_UNBLOCK, &s, nullptr);
    sigprocmask(SIG_BLOCK, &s, nullptr);
}

int QueueTimerSignal(int value)
{
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    info.si_signo = SIGUSR1;
    info.si_code = SI_TIMER;
    info.si_value.sival_int = value;
    return static_cast<int>(syscall(SYS_rt_sigqueueinfo, getpid(), SIGUSR1, &info));
}
