// crkeyemu.cpp - the guard-button device off the board: the emulation that
// the device preload in a program (crkeydev.c) connects to, served on a
// thread of the caller's process. The wire is in crkeywire.h.
//
// Each open of the device is one connection, and its event socket is one
// end of a socket pair whose other end we keep. Event bytes go to the
// newest open, or wait for the next open when none is held, so that the
// device buffers them as the driver does.
#include "crkeyemu.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "crkeywire.h"

#if !defined(KVO_CRKEY_PRELOAD) || !defined(KVO_CRKEY_PRELOAD_NAME) || !defined(KVO_BIN_TO_LIB) || \
    !defined(KVO_QEMU_PPC) || !defined(KVO_TARGET_LIBROOT)
#error "KVO_CRKEY_PRELOAD(_NAME), KVO_BIN_TO_LIB, KVO_QEMU_PPC, KVO_TARGET_LIBROOT: from the build"
#endif

namespace {

constexpr const char kPpcPreloadEnv[] = "KVO_CRKEY_PRELOAD_PPC";
constexpr const char kPpcPreload[] = "emu/libkvocrkeydev.so";

// The variables CrKeyEmuCreate changes, restored by CrKeyEmuDestroy.
constexpr const char *kSavedVars[] = {"LD_PRELOAD", CRKEY_SOCKET_ENV, "ASAN_OPTIONS"};
constexpr size_t kSavedCount = sizeof kSavedVars / sizeof kSavedVars[0];

struct SavedVar {
    bool set = false;
    std::string value;
};

struct Conn {
    int ctl; // the program's connection
    int ev;  // our end of its event socket; -1 until the open succeeded
};

} // namespace

struct CrKeyEmu {
    std::string dir; // private folder holding the socket
    std::string socket;
    std::string preload; // the host preload, for LD_PRELOAD
    int listen = -1;
    int wake[2] = {-1, -1}; // ends the server thread
    std::thread server;
    SavedVar saved[kSavedCount];

    std::mutex lock; // the fields below; the server thread answers requests
    std::vector<Conn> conns; // newest open last; only the server thread changes it
    std::string pending; // event bytes not yet written to an open
    bool pressed = false;
    unsigned releaseAfter = 0;
    int fault[4] = {0, 0, 0, 0}; // by CrKeyFault
    CrKeyEmuStats stats{0, 0, 0, 0, -1};
};

namespace {

int &Fault(CrKeyEmu *emu, CrKeyFault f) { return emu->fault[static_cast<int>(f)]; }

bool Fail(std::string *error, const std::string &why)
{
    if (error != nullptr)
        *error = why;
    return false;
}

bool FailErrno(std::string *error, const std::string &what)
{
    return Fail(error, what + ": " + std::strerror(errno));
}

void SaveEnv(CrKeyEmu *emu)
{
    for (size_t i = 0; i < kSavedCount; ++i) {
        const char *v = std::getenv(kSavedVars[i]);
        emu->saved[i].set = v != nullptr;
        emu->saved[i].value = v != nullptr ? v : "";
    }
}

void RestoreEnv(const CrKeyEmu *emu)
{
    for (size_t i = 0; i < kSavedCount; ++i) {
        if (emu->saved[i].set)
            setenv(kSavedVars[i], emu->saved[i].value.c_str(), 1);
        else
            unsetenv(kSavedVars[i]);
    }
}

bool Exists(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

// The host preload of this build: beside the running program's installed
// copy (bin/ -> lib/), next to it, or where the build made it, in that
// order, so that an installed tool never needs the build tree.
bool HostPreload(std::string *path, std::string *error)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
    dir.erase(dir.find_last_of('/') + 1);
    const std::string tried[] = {dir + KVO_BIN_TO_LIB "/" KVO_CRKEY_PRELOAD_NAME,
                                 dir + KVO_CRKEY_PRELOAD_NAME, KVO_CRKEY_PRELOAD};
    for (const std::string &t : tried) {
        if (!dir.empty() && Exists(t)) {
            *path = t;
            return true;
        }
    }
    return Fail(error, "no device preload " KVO_CRKEY_PRELOAD_NAME " (looked for " + tried[0] + ", " +
                           tried[1] + " and " + tried[2] + ")");
}

void SetChildEnv(const CrKeyEmu *emu)
{
    std::string preload = emu->preload;
    if (const char *old = std::getenv("LD_PRELOAD"); old != nullptr && old[0] != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(CRKEY_SOCKET_ENV, emu->socket.c_str(), 1);
    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "" : ":";
        asan += "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
}

// Writes what the newest open can take now; the rest waits (for the next
// open, or for room in its socket at the next read).
void Flush(CrKeyEmu *emu)
{
    if (emu->conns.empty() || emu->conns.back().ev < 0 || emu->pending.empty())
        return;
    ssize_t n = send(emu->conns.back().ev, emu->pending.data(), emu->pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0)
        emu->pending.erase(0, static_cast<size_t>(n));
}

bool Answer(int ctl, unsigned char err, unsigned char value, int fd = -1)
{
    unsigned char ans[2] = {err, value};
    iovec iov{ans, sizeof ans};
    union {
        cmsghdr align;
        char buf[CMSG_SPACE(sizeof(int))];
    } cmsg{};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (fd >= 0) {
        msg.msg_control = cmsg.buf;
        msg.msg_controllen = sizeof cmsg.buf;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    return sendmsg(ctl, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof ans);
}

size_t Find(const CrKeyEmu *emu, int ctl)
{
    size_t at = 0;
    while (at < emu->conns.size() && emu->conns[at].ctl != ctl)
        ++at;
    return at;
}

// The open of a connection, counted before the program hears of it.
bool OpenDevice(CrKeyEmu *emu, int ctl)
{
    size_t at = Find(emu, ctl);
    if (at == emu->conns.size() || emu->conns[at].ev >= 0)
        return false; // one open per connection
    int err = Fault(emu, CrKeyFault::Open);
    int pair[2] = {-1, -1};
    if (err == 0 && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        err = errno;
    if (err != 0)
        return Answer(ctl, static_cast<unsigned char>(err), 0);
    ++emu->stats.opens;
    bool sent = Answer(ctl, 0, 0, pair[1]);
    close(pair[1]);
    emu->conns.erase(emu->conns.begin() + static_cast<long>(at));
    emu->conns.push_back(Conn{ctl, pair[0]});
    Flush(emu);
    return sent;
}

unsigned char KeyState(CrKeyEmu *emu)
{
    unsigned char state = emu->pressed ? 1 : 0;
    if (emu->pressed && emu->releaseAfter > 0 && --emu->releaseAfter == 0)
        emu->pressed = false;
    return state;
}

// One request on a connection; false when the connection is to go.
bool Serve(CrKeyEmu *emu, int ctl)
{
    unsigned char req[2];
    if (recv(ctl, req, sizeof req, MSG_WAITALL) != static_cast<ssize_t>(sizeof req))
        return false;
    std::lock_guard<std::mutex> guard(emu->lock);
    int err;
    switch (req[0]) {
    case CRKEY_OP_OPEN:
        return OpenDevice(emu, ctl);
    case CRKEY_OP_SETPOLL:
        ++emu->stats.setPollCalls;
        err = Fault(emu, CrKeyFault::SetPollTime);
        if (err == 0)
            emu->stats.lastPollTime = req[1];
        return Answer(ctl, static_cast<unsigned char>(err), 0);
    case CRKEY_OP_GETSTS:
        ++emu->stats.getStsCalls;
        err = Fault(emu, CrKeyFault::GetKeyState);
        return Answer(ctl, static_cast<unsigned char>(err), err == 0 ? KeyState(emu) : 0);
    case CRKEY_OP_READ:
        err = Fault(emu, CrKeyFault::Read);
        Fault(emu, CrKeyFault::Read) = 0;
        Flush(emu);
        return Answer(ctl, err == -1 ? CRKEY_READ_EMPTY : static_cast<unsigned char>(err), 0);
    default:
        return false;
    }
}

void Drop(CrKeyEmu *emu, int ctl)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    size_t at = Find(emu, ctl);
    close(ctl);
    if (emu->conns[at].ev >= 0)
        close(emu->conns[at].ev); // unread bytes go with it, as with a closed driver
    emu->conns.erase(emu->conns.begin() + static_cast<long>(at));
    Flush(emu); // to the open that is now the newest
}

void Accept(CrKeyEmu *emu)
{
    int ctl = accept4(emu->listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (ctl < 0)
        return;
    std::lock_guard<std::mutex> guard(emu->lock);
    // Not opened yet: ahead of every open, so that the newest open stays last.
    emu->conns.insert(emu->conns.begin(), Conn{ctl, -1});
}

// The server thread: the only one that adds or drops connections, so it
// reads the list without the lock.
void Run(CrKeyEmu *emu)
{
    for (;;) {
        std::vector<pollfd> fds = {{emu->wake[0], POLLIN, 0}, {emu->listen, POLLIN, 0}};
        for (const Conn &c : emu->conns)
            fds.push_back({c.ctl, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue; // EINTR
        if (fds[0].revents != 0)
            return;
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents != 0 && !Serve(emu, fds[i].fd))
                Drop(emu, fds[i].fd);
        }
        if (fds[1].revents != 0)
            Accept(emu);
    }
}

bool Listen(CrKeyEmu *emu, std::string *error)
{
    char dir[] = "/tmp/kvocrkey.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return FailErrno(error, "emulation folder");
    emu->dir = dir;
    emu->socket = emu->dir + "/socket";
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, emu->socket.c_str());
    emu->listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (emu->listen < 0 || bind(emu->listen, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(emu->listen, 16) != 0)
        return FailErrno(error, "emulation socket " + emu->socket);
    if (pipe2(emu->wake, O_CLOEXEC) != 0)
        return FailErrno(error, "emulation pipe");
    emu->server = std::thread(Run, emu);
    return true;
}

bool IsPowerPc(const std::string &path, std::string *error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return FailErrno(error, path);
    unsigned char h[EI_NIDENT + 4] = {};
    ssize_t n = read(fd, h, sizeof h);
    close(fd);
    // e_machine follows e_type, in the file's own byte order.
    return n == static_cast<ssize_t>(sizeof h) && std::memcmp(h, ELFMAG, SELFMAG) == 0 &&
           h[EI_CLASS] == ELFCLASS32 && h[EI_DATA] == ELFDATA2MSB && h[EI_NIDENT + 2] == 0 &&
           h[EI_NIDENT + 3] == EM_PPC;
}

// $KVO_CRKEY_PRELOAD_PPC, else emu/libkvocrkeydev.so in the nearest folder
// above the program that has one (its build tree); "" when there is none.
std::string PpcPreload(const std::string &program)
{
    const char *named = std::getenv(kPpcPreloadEnv);
    std::string dir = program.substr(0, program.find_last_of('/') + 1);
    char real[PATH_MAX];
    if (named != nullptr && named[0] != '\0')
        return realpath(named, real) != nullptr ? real : "";
    if (realpath(dir.empty() ? "." : dir.c_str(), real) == nullptr)
        return "";
    for (std::string up = real; !up.empty(); up.erase(up.find_last_of('/'))) {
        if (realpath((up + "/" + kPpcPreload).c_str(), real) != nullptr)
            return real;
    }
    return "";
}

} // namespace

CrKeyEmu *CrKeyEmuCreate(std::string *error)
{
    auto *emu = new CrKeyEmu;
    SaveEnv(emu);
    if (!HostPreload(&emu->preload, error) || !Listen(emu, error)) {
        CrKeyEmuDestroy(emu);
        return nullptr;
    }
    SetChildEnv(emu);
    return emu;
}

void CrKeyEmuDestroy(CrKeyEmu *emu)
{
    if (emu == nullptr)
        return;
    if (emu->server.joinable()) {
        char stop = 0;
        (void)write(emu->wake[1], &stop, 1);
        emu->server.join();
    }
    for (const Conn &o : emu->conns) {
        close(o.ctl);
        if (o.ev >= 0)
            close(o.ev);
    }
    for (int fd : {emu->listen, emu->wake[0], emu->wake[1]}) {
        if (fd >= 0)
            close(fd);
    }
    if (!emu->dir.empty()) {
        unlink(emu->socket.c_str());
        rmdir(emu->dir.c_str());
    }
    RestoreEnv(emu);
    delete emu;
}

bool CrKeyEmuPress(CrKeyEmu *emu)
{
    {
        std::lock_guard<std::mutex> guard(emu->lock);
        emu->pressed = true;
    }
    return CrKeyEmuSendByte(emu, 1);
}

bool CrKeyEmuRelease(CrKeyEmu *emu)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    emu->pressed = false;
    emu->releaseAfter = 0;
    return true;
}

bool CrKeyEmuSendByte(CrKeyEmu *emu, uint8_t byte)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    emu->pending += static_cast<char>(byte);
    ++emu->stats.bytesSent;
    Flush(emu);
    return true;
}

void CrKeyEmuSetFault(CrKeyEmu *emu, CrKeyFault fault, int err)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    Fault(emu, fault) = err;
}

CrKeyEmuStats CrKeyEmuGetStats(CrKeyEmu *emu)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    return emu->stats;
}

void CrKeyEmuReleaseAfterPolls(CrKeyEmu *emu, unsigned polls)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    emu->releaseAfter = polls;
}

bool CrKeyEmuCommand(const CrKeyEmu *emu, const std::vector<std::string> &argv,
                     std::vector<std::string> *command, std::string *error)
{
    if (argv.empty())
        return Fail(error, "no program to run");
    std::string why;
    if (!IsPowerPc(argv[0], &why)) {
        if (!why.empty())
            return Fail(error, why);
        *command = argv;
        return true;
    }
    std::vector<std::string> cmd = {"/usr/bin/env", "-u", "LD_PRELOAD", KVO_QEMU_PPC,
                                    "-L", KVO_TARGET_LIBROOT, "-0", argv[0]};
    if (emu != nullptr) {
        std::string preload = PpcPreload(argv[0]);
        if (preload.empty())
            return Fail(error, argv[0] + ": no PowerPC build of the device preload (" + kPpcPreload +
                                   " in a folder above it, or $" + kPpcPreloadEnv + ")");
        cmd.insert(cmd.end(), {"-E", "LD_PRELOAD=" + preload, "-E", CRKEY_SOCKET_ENV "=" + emu->socket});
    }
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    *command = cmd;
    return true;
}
