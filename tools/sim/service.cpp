// service.cpp - starting, feeding and reaping the service process.
#include "service.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

bool Service::Start(const std::string &path, const char *level, std::string *error)
{
    if (pi_ == nullptr || access(path.c_str(), X_OK) != 0) {
        *error = path + ": " + (pi_ == nullptr ? "out of memory" : std::strerror(errno));
        return false;
    }
    pid_t self = getpid();
    int pid = ComProcessCreate(pi_, path.c_str(), kGdbtRow, 0, level);
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
    proc_.Adopt(pid);
    gdbtFd_ = open(KvoPath(KVO_PATH_FIFO_GDBT), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (gdbtFd_ < 0) {
        *error = std::string(KvoPath(KVO_PATH_FIFO_GDBT)) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Service::Reap(int *status)
{
    bool ended = proc_.Started() && !proc_.Running();
    *status = ended ? proc_.Code() : 0;
    return ended;
}

bool Service::Send(const Frame &frame)
{
    return ComFIFOPutData2(KvoPath(KVO_PATH_FIFO_GDBT), frame.mid, frame.cid,
                           reinterpret_cast<const char *>(frame.data.data())) == 0;
}

void Service::Kill()
{
    proc_.Kill();
}
