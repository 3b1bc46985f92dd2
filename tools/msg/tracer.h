// tracer.h - the monitor's tracer: holds processes with ptrace, stops them
// at each system call, and prints the frames their reads and writes move on
// the FIFOs of the FIFO folder.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sysregs.h"

struct TracedFd {
    bool fifo = false;                        // a FIFO of the FIFO folder
    std::string name;                         // "FifoSts"
    std::vector<uint8_t> readPart, writePart; // a frame's first bytes
};

struct TracedProcess {
    std::string command;
    std::map<int, TracedFd> fds;
};

struct TracedThread {
    pid_t tgid = 0;
    bool inSyscall = false;
    SysCall call = SysCall::Other;
    uint64_t args[3] = {};
};

class Tracer {
public:
    // fifoDir: the FIFO folder, links resolved; count: frames to print
    // before letting go, -1 for no limit; registers: read the calls from
    // the registers even where the kernel has syscall information.
    Tracer(const std::string &fifoDir, long count, bool registers)
        : fifoDir_(fifoDir + "/"), registers_(registers), count_(count)
    {
    }

    // Seizes every thread of pid and sets each to stop at system calls;
    // false with *error when it may not.
    bool Attach(pid_t pid, std::string *error);
    // Prints frames until one of signals (blocked by the caller) other than
    // SIGCHLD comes, the count is reached or no process is left.
    void Run(const sigset_t &signals);
    // Lets every thread go, each at its next stop.
    void DetachAll();
    // "pid 12 (kvogdbt), ..." of the processes still followed.
    std::string Held() const;

private:
    bool Seize(pid_t tid, pid_t tgid, std::string *error);
    void Event(pid_t tid, int status);
    void Gone(pid_t tid, int status);
    void Stop(pid_t tid, TracedThread &t);
    bool SyscallInfo(pid_t tid, TracedThread &t);
    void SyscallRegisters(pid_t tid, TracedThread &t);
    void Returned(pid_t tid, TracedThread &t, long long ret);
    TracedFd &Fd(pid_t tgid, int fd);
    void Forget(pid_t tgid, int fd);
    void Frames(pid_t tgid, TracedFd &fd, bool read, const std::vector<uint8_t> &bytes, long long n);
    void Print(pid_t tgid, const TracedFd &fd, bool read, const uint8_t *frame, size_t size,
               long long n);
    void Resume(pid_t tid, int signal);

    std::string fifoDir_; // with a trailing slash
    bool registers_;
    long count_;
    long printed_ = 0;
    bool stopping_ = false;
    std::map<pid_t, TracedProcess> procs_;
    std::map<pid_t, TracedThread> threads_;
};
