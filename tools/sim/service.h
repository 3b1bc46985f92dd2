// service.h - the guard-button service as the status module runs it:
// started with the runtime's ComProcessCreate for its row of the module
// table, fed through its command FIFO, and reaped for its exit status.
#pragma once

#include <string>
#include <sys/types.h>

#include "board/service.h"
#include "frame.h"

struct ProcInfo;

class Service {
public:
    Service();
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // KVO_ROOT and the log target must be in the environment already.
    // level: the log level argument, nullptr for none.
    bool Start(const std::string &path, const char *level, std::string *error);
    bool Started() const { return proc_.Started(); }
    bool Running() const { return proc_.Started() && !proc_.Ended(); }
    pid_t Pid() const { return proc_.Pid(); }
    // Whether it has ended (now or before); *status is the exit status, or
    // 128 plus the signal that ended it.
    bool Reap(int *status);
    // A frame to the command FIFO "FifoGdbt".
    bool Send(const Frame &frame);
    void Kill();

private:
    ProcInfo *pi_;
    kvoboard::BoardService proc_;
    int gdbtFd_ = -1;
};
