// tracer.cpp - following processes with ptrace and printing each frame they
// write to or read from a FIFO of the FIFO folder.
//
// The processes are seized (PTRACE_SEIZE, so nothing they receive or send
// changes; no PTRACE_O_EXITKILL, so they outlive the monitor) and stop at
// every system call.  At the return of a read or a write on a descriptor
// that is such a FIFO, the bytes the call moved are copied out of the
// process (process_vm_readv, PEEKDATA where that is refused) and printed
// frame by frame; the return value says how many, so a write prints what
// was written and a read what was received.  Whether a descriptor is such a
// FIFO is asked once (/proc/PID/fd) and remembered until the process closes
// or replaces that descriptor or runs another program.  Signals to a
// process are handed on unchanged; a group stop stays a stop.
//
// Frames moved by other calls (readv, writev, splice) are not seen; the
// runtime and the modules use read and write.
//
// Lines of one process come in the order of its calls.  Between processes
// they come in the order the tracer sees the returns: the reader of a frame
// can return before its writer does, so its line can come first.
#include "tracer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <elf.h>
#include <fstream>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "describe.h"
#include "frame.h"
#include "procfs.h"

namespace {

constexpr size_t kMaxCopy = 1 << 20; // beyond any pipe's capacity
constexpr int kDetachWaitMs = 5000;

std::string StatusField(pid_t pid, const std::string &field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return line.substr(field.size() + 1);
    return "";
}

long StatusNumber(pid_t pid, const std::string &field)
{
    std::istringstream in(StatusField(pid, field));
    long v = -1;
    in >> v;
    return v;
}

int PtraceScope()
{
    std::ifstream in("/proc/sys/kernel/yama/ptrace_scope");
    int scope = -1;
    in >> scope;
    return scope;
}

// Why PTRACE_SEIZE said EPERM, as the one thing that is missing.
std::string TraceRefusal(pid_t pid)
{
    long tracer = StatusNumber(pid, "TracerPid");
    if (tracer > 0)
        return "it is traced already, by " +
               ProcessLabel(static_cast<pid_t>(tracer), ProcessCommand(static_cast<pid_t>(tracer)));
    int scope = PtraceScope();
    if (scope == 3)
        return "tracing is switched off until reboot (kernel.yama.ptrace_scope is 3)";
    if (geteuid() != 0 && scope == 2)
        return "only root may trace (kernel.yama.ptrace_scope is 2): run the monitor as root";
    if (geteuid() != 0 && scope == 1)
        return "only a parent may trace its children (kernel.yama.ptrace_scope is 1): run the "
               "monitor as root, or set kernel.yama.ptrace_scope to 0";
    std::istringstream uids(StatusField(pid, "Uid"));
    long real = -1;
    uids >> real;
    if (geteuid() != 0 && real != static_cast<long>(geteuid()))
        return "it belongs to another user: run the monitor as root";
    return "not permitted: tracing needs root or CAP_SYS_PTRACE, which a container may withhold";
}

bool Copy(pid_t tid, uint64_t addr, size_t len, std::vector<uint8_t> *out)
{
    out->resize(len);
    struct iovec local = {out->data(), len};
    struct iovec remote = {reinterpret_cast<void *>(static_cast<uintptr_t>(addr)), len};
    if (process_vm_readv(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(len))
        return true;
    // Word by word where the kernel refuses the bulk copy.
    const uintptr_t w = sizeof(long);
    uintptr_t from = static_cast<uintptr_t>(addr);
    for (uintptr_t a = from & ~(w - 1); a < from + len; a += w) {
        errno = 0;
        long v = ptrace(PTRACE_PEEKDATA, tid, reinterpret_cast<void *>(a), nullptr);
        if (errno != 0)
            return false;
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&v);
        for (uintptr_t i = 0; i < w; ++i)
            if (a + i >= from && a + i < from + len)
                (*out)[a + i - from] = b[i];
    }
    return true;
}

long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int FdArg(uint64_t v) { return static_cast<int>(static_cast<uint32_t>(v)); }

} // namespace

std::string Tracer::Held() const
{
    std::string s;
    for (const auto &p : procs_)
        s += (s.empty() ? "" : ", ") + ProcessLabel(p.first, p.second.command);
    return s;
}

bool Tracer::Seize(pid_t tid, pid_t tgid, std::string *error)
{
    long opts = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC;
    if (ptrace(PTRACE_SEIZE, tid, nullptr, reinterpret_cast<void *>(opts)) != 0) {
        if (errno == ESRCH)
            return true; // a thread that just ended
        std::string why = errno == EPERM    ? TraceRefusal(tgid)
                          : errno == ENOSYS ? "this system cannot trace processes (no ptrace; "
                                              "qemu-user has none)"
                                            : std::strerror(errno);
        *error = "cannot monitor " + ProcessLabel(tgid, procs_[tgid].command) + ": " + why;
        return false;
    }
    threads_[tid].tgid = tgid;
    // Stopped once so that it can be set to stop at system calls.
    ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
    return true;
}

bool Tracer::Attach(pid_t pid, std::string *error)
{
    procs_[pid].command = ProcessCommand(pid);
    std::string task = "/proc/" + std::to_string(pid) + "/task";
    // Threads can start while the others are seized: list again until
    // every one is held.
    for (bool added = true; added;) {
        added = false;
        DIR *d = opendir(task.c_str());
        if (d == nullptr)
            break;
        while (const dirent *e = readdir(d)) {
            pid_t tid = static_cast<pid_t>(std::atol(e->d_name));
            if (tid <= 0 || threads_.count(tid) != 0)
                continue;
            if (!Seize(tid, pid, error)) {
                closedir(d);
                return false;
            }
            added = added || threads_.count(tid) != 0;
        }
        closedir(d);
    }
    // Each thread's first stop sets it to stop at system calls; only then is
    // it followed, so the caller's "monitoring" line means every call from
    // here on is seen.
    std::vector<pid_t> seized;
    for (const auto &t : threads_)
        if (t.second.tgid == pid)
            seized.push_back(t.first);
    for (pid_t tid : seized) {
        int status;
        if (waitpid(tid, &status, __WALL) == tid)
            Event(tid, status);
    }
    if (seized.empty()) {
        procs_.erase(pid);
        *error = "no process " + std::to_string(pid);
    }
    return !seized.empty();
}

void Tracer::Run(const sigset_t &signals)
{
    while (!threads_.empty() && !stopping_) {
        int status;
        pid_t tid = 0;
        while (!stopping_ && (tid = waitpid(-1, &status, __WALL | WNOHANG)) > 0)
            Event(tid, status);
        if (tid < 0 && errno == ECHILD)
            threads_.clear();
        if (threads_.empty() || stopping_)
            break;
        // Every stop and end of a traced process raises SIGCHLD here.
        siginfo_t si;
        int sig = sigwaitinfo(&signals, &si);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP)
            stopping_ = true;
    }
}

void Tracer::DetachAll()
{
    stopping_ = true;
    for (const auto &t : threads_)
        ptrace(PTRACE_INTERRUPT, t.first, nullptr, nullptr);
    // Each thread is let go at its next stop (Resume), with any signal it
    // was about to receive.
    long deadline = NowMs() + kDetachWaitMs;
    while (!threads_.empty() && NowMs() < deadline) {
        int status;
        pid_t tid = waitpid(-1, &status, __WALL | WNOHANG);
        if (tid > 0) {
            Event(tid, status);
        } else if (tid < 0) {
            threads_.clear();
        } else {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    for (const auto &t : threads_)
        std::fprintf(stderr, "kvomsg: thread %d did not stop; the kernel lets it go when kvomsg ends\n",
                     static_cast<int>(t.first));
}

void Tracer::Event(pid_t tid, int status)
{
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
        Gone(tid, status);
        return;
    }
    if (!WIFSTOPPED(status))
        return;
    TracedThread &t = threads_[tid];
    if (t.tgid == 0) { // a new thread that stopped before its creator reported it
        t.tgid = static_cast<pid_t>(StatusNumber(tid, "Tgid"));
        if (procs_.count(t.tgid) == 0)
            procs_[t.tgid].command = ProcessCommand(t.tgid);
    }
    int sig = WSTOPSIG(status);
    int event = status >> 16;
    int inject = 0;
    if (sig == (SIGTRAP | 0x80)) {
        Stop(tid, t);
    } else if (event == PTRACE_EVENT_STOP) {
        bool groupStop = sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
        if (groupStop && !stopping_) {
            ptrace(PTRACE_LISTEN, tid, nullptr, nullptr); // stays stopped until SIGCONT
            return;
        }
    } else if (event == PTRACE_EVENT_CLONE) {
        unsigned long child = 0;
        ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child);
        TracedThread &c = threads_[static_cast<pid_t>(child)];
        if (c.tgid == 0)
            c.tgid = static_cast<pid_t>(StatusNumber(static_cast<pid_t>(child), "Tgid"));
        if (procs_.count(c.tgid) == 0)
            procs_[c.tgid].command = ProcessCommand(c.tgid);
    } else if (event == PTRACE_EVENT_EXEC) {
        unsigned long former = 0;
        ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former);
        if (static_cast<pid_t>(former) != tid)
            threads_.erase(static_cast<pid_t>(former));
        TracedThread &now = threads_[tid]; // the execing thread has taken the leader's id
        now.inSyscall = true;         // within execve, whose return comes next
        now.call = SysCall::Other;
        TracedProcess &p = procs_[now.tgid];
        p.fds.clear(); // descriptors closed on exec, and a new program
        p.command = ProcessCommand(now.tgid);
    } else if (event == 0) {
        inject = sig; // a signal on its way to the process: handed on
    }
    Resume(tid, inject);
}

void Tracer::Resume(pid_t tid, int signal)
{
    if (stopping_) {
        ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void *>(static_cast<long>(signal)));
        threads_.erase(tid);
        return;
    }
    ptrace(PTRACE_SYSCALL, tid, nullptr, reinterpret_cast<void *>(static_cast<long>(signal)));
}

void Tracer::Gone(pid_t tid, int status)
{
    auto it = threads_.find(tid);
    if (it == threads_.end())
        return;
    pid_t tgid = it->second.tgid;
    threads_.erase(it);
    for (const auto &t : threads_)
        if (t.second.tgid == tgid)
            return;
    TracedProcess &p = procs_[tgid];
    while (!p.fds.empty())
        Forget(tgid, p.fds.begin()->first);
    std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status));
    std::fprintf(stderr, "kvomsg: %s ended (%s)\n", ProcessLabel(tgid, p.command).c_str(), how.c_str());
    procs_.erase(tgid);
}

void Tracer::Stop(pid_t tid, TracedThread &t)
{
    if (registers_ || !SyscallInfo(tid, t))
        SyscallRegisters(tid, t);
}

// false when the kernel has no syscall information (before 5.3): the
// registers then serve from here on.
bool Tracer::SyscallInfo(pid_t tid, TracedThread &t)
{
    struct __ptrace_syscall_info info;
    std::memset(&info, 0, sizeof info);
    if (ptrace(PTRACE_GET_SYSCALL_INFO, tid, reinterpret_cast<void *>(sizeof info), &info) <= 0) {
        if (errno != EIO && errno != EINVAL)
            return true; // the thread is gone; its end comes next
        registers_ = true;
        return false;
    }
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
        const SysCpu *cpu = SysCpuByArch(info.arch);
        t.inSyscall = true;
        t.call = cpu != nullptr ? SysCallOf(*cpu, static_cast<long>(info.entry.nr)) : SysCall::Other;
        for (size_t i = 0; i < 3; ++i)
            t.args[i] = info.entry.args[i];
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
        t.inSyscall = false;
        Returned(tid, t, info.exit.rval);
    }
    return true;
}

// Entry and return stops look alike in the registers: they alternate, and
// a seized thread's first stop at a system call is an entry.
void Tracer::SyscallRegisters(pid_t tid, TracedThread &t)
{
    alignas(8) unsigned char block[512];
    struct iovec iov = {block, sizeof block};
    if (ptrace(PTRACE_GETREGSET, tid, reinterpret_cast<void *>(NT_PRSTATUS), &iov) != 0)
        return;
    const SysCpu *cpu = SysCpuByBlockSize(iov.iov_len);
    bool entry = !t.inSyscall;
    t.inSyscall = entry;
    if (cpu == nullptr) {
        t.call = SysCall::Other;
    } else if (entry) {
        SysEntryRegs e = SysEntryFrom(*cpu, block);
        t.call = SysCallOf(*cpu, e.nr);
        std::memcpy(t.args, e.args, sizeof t.args);
    } else {
        Returned(tid, t, SysExitFrom(*cpu, block).ret);
    }
}

void Tracer::Returned(pid_t tid, TracedThread &t, long long ret)
{
    SysCall call = t.call;
    t.call = SysCall::Other;
    switch (call) {
    case SysCall::Read:
    case SysCall::Write: {
        if (ret <= 0)
            return;
        TracedFd &fd = Fd(t.tgid, FdArg(t.args[0]));
        std::vector<uint8_t> bytes;
        size_t n = static_cast<size_t>(ret) < kMaxCopy ? static_cast<size_t>(ret) : kMaxCopy;
        if (fd.fifo && Copy(tid, t.args[1], n, &bytes))
            Frames(t.tgid, fd, call == SysCall::Read, bytes, ret);
        return;
    }
    case SysCall::Close:
        Forget(t.tgid, FdArg(t.args[0]));
        return;
    case SysCall::Dup2:
    case SysCall::Dup3:
        if (ret >= 0)
            Forget(t.tgid, FdArg(t.args[1]));
        return;
    case SysCall::CloseRange: {
        uint32_t first = static_cast<uint32_t>(t.args[0]), last = static_cast<uint32_t>(t.args[1]);
        std::vector<int> gone;
        for (const auto &fd : procs_[t.tgid].fds)
            if (static_cast<uint32_t>(fd.first) >= first && static_cast<uint32_t>(fd.first) <= last)
                gone.push_back(fd.first);
        for (int fd : gone)
            Forget(t.tgid, fd);
        return;
    }
    case SysCall::Other:
        return;
    }
}

// What a descriptor is, asked once: a FIFO whose path lies in the FIFO folder.
TracedFd &Tracer::Fd(pid_t tgid, int fd)
{
    std::map<int, TracedFd> &fds = procs_[tgid].fds;
    auto it = fds.find(fd);
    if (it != fds.end())
        return it->second;
    TracedFd &s = fds[fd];
    std::string link = "/proc/" + std::to_string(tgid) + "/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    struct stat st;
    if (n <= 0 || stat(link.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
        return s;
    std::string path(target, static_cast<size_t>(n));
    if (path.compare(0, fifoDir_.size(), fifoDir_) == 0 &&
        path.find('/', fifoDir_.size()) == std::string::npos) {
        s.fifo = true;
        s.name = path.substr(fifoDir_.size());
    }
    return s;
}

// The descriptor no longer means what it meant: a frame left incomplete
// on it is shown as the short frame it is.
void Tracer::Forget(pid_t tgid, int fd)
{
    std::map<int, TracedFd> &fds = procs_[tgid].fds;
    auto it = fds.find(fd);
    if (it == fds.end())
        return;
    TracedFd &s = it->second;
    if (!s.readPart.empty())
        Print(tgid, s, true, s.readPart.data(), s.readPart.size(), 0);
    if (!s.writePart.empty())
        Print(tgid, s, false, s.writePart.data(), s.writePart.size(), 0);
    fds.erase(it);
}

void Tracer::Frames(pid_t tgid, TracedFd &fd, bool read, const std::vector<uint8_t> &bytes,
                    long long n)
{
    std::vector<uint8_t> &part = read ? fd.readPart : fd.writePart;
    part.insert(part.end(), bytes.begin(), bytes.end());
    size_t done = 0;
    for (; part.size() - done >= FIFO_MSG_SIZE; done += FIFO_MSG_SIZE)
        Print(tgid, fd, read, part.data() + done, FIFO_MSG_SIZE, n);
    part.erase(part.begin(), part.begin() + static_cast<long>(done));
}

void Tracer::Print(pid_t tgid, const TracedFd &fd, bool read, const uint8_t *frame, size_t size,
                   long long n)
{
    if (count_ > 0 && printed_ >= count_)
        return;
    std::string who = procs_[tgid].command + " " + std::to_string(tgid);
    std::string how = n > 0 ? (read ? " read " : " wrote ") + std::to_string(n) + " bytes"
                            : read ? " read only this much" : " wrote only this much";
    std::printf("%s (%s%s)\n", TimedFrameLine(fd.name, ParseFrame(frame, size)).c_str(),
                who.c_str(), how.c_str());
    std::fflush(stdout);
    if (count_ > 0 && ++printed_ >= count_)
        stopping_ = true;
}
