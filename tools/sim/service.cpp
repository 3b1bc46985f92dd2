// service.cpp - starting, feeding and reaping the service process.
#include "service.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kvoruntime.h"

namespace {

constexpr int kGdbtRow = 20; // "kvogdbt" in the module table
static_assert(KVO_MODULE_COUNT > kGdbtRow, "row inside the table");

} // namespace

Service::Service() : pi_(static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)))) {}

Service::~Service()
{
    if (gdbtFd_ >= 0)
        close(gdbtFd_);
    std::free(pi_);
}

bool Service::Start(const std::string &path, int level, std::string *error)
{
    if (pi_ == nullptr || access(path.c_str(), X_OK) != 0) {
        *error = path + ": " + (pi_ == nullptr ? "out of memory" : std::strerror(errno));
        return false;
    }
    std::string arg = std::to_string(level);
    pid_t self = getpid();
    int pid = ComProcessCreate(pi_, path.c_str(), kGdbtRow, 0, arg.c_str());
    if (pid == -1 && getpid() != self)
        _exit(127); // a child whose execv failed must not go on as a second simulator
    // ComProcessCreate leaves SIGCHLD ignored, which would reap the service
    // behind our back.  It cannot have ended yet: it waits in the open of
    // its command FIFO until the FIFO gets a writer, below.
    signal(SIGCHLD, SIG_DFL);
    if (pid <= 0) {
        *error = "cannot start " + path;
        return false;
    }
    pid_ = pid;
    gdbtFd_ = open(KvoPath(KVO_PATH_FIFO_GDBT), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (gdbtFd_ < 0) {
        *error = std::string(KvoPath(KVO_PATH_FIFO_GDBT)) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Service::Reap(int *status)
{
    if (!ended_ && pid_ > 0) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            ended_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        } else if (r < 0 && errno == ECHILD) {
            ended_ = true; // reaped elsewhere: status unknown
            status_ = -1;
        }
    }
    *status = status_;
    return ended_;
}

bool Service::Send(const Frame &frame)
{
    return ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_GDBT), frame.mid, frame.cid,
                           reinterpret_cast<const char *>(frame.data.data())) == 0;
}

void Service::Kill()
{
    if (Running()) {
        kill(pid_, SIGKILL);
        int st = 0;
        while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        ended_ = true;
        status_ = 128 + SIGKILL;
    }
}
