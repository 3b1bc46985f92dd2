// kvocrkey.cpp - runs a program with the guard-button device emulated and
// lets an engineer work the button from standard input:
//
//   kvocrkey [--] PROGRAM ARGS...
//
// Commands, one per line: press, release, byte N, fail open|setpoll|getsts|read
// ERRNO (0 clears; open applies to the program's next open of the device),
// stats, quit. Ends with the program's exit status; quit or end of input
// stops the program with SIGTERM first.
#include "crkeyemu.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

pid_t Start(char **argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        // The program must not compete for our commands.
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
        execvp(argv[0], argv);
        std::fprintf(stderr, "kvocrkey: %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

int ExitCode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

bool ParseFault(const std::string &name, CrKeyFault *fault)
{
    static const struct {
        const char *name;
        CrKeyFault fault;
    } kFaults[] = {{"open", CrKeyFault::Open},
                   {"setpoll", CrKeyFault::SetPollTime},
                   {"getsts", CrKeyFault::GetKeyState},
                   {"read", CrKeyFault::Read}};
    for (const auto &f : kFaults) {
        if (name == f.name) {
            *fault = f.fault;
            return true;
        }
    }
    return false;
}

// One command line; false when the session is to end.
bool Command(CrKeyEmu *emu, const std::string &line)
{
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd;
    bool ok = true;
    if (cmd.empty()) {
        return true;
    } else if (cmd == "quit") {
        return false;
    } else if (cmd == "press") {
        ok = CrKeyEmuPress(emu);
    } else if (cmd == "release") {
        ok = CrKeyEmuRelease(emu);
    } else if (cmd == "byte") {
        long v = -1;
        ok = static_cast<bool>(in >> v) && v >= 0 && v <= 255 &&
             CrKeyEmuSendByte(emu, static_cast<uint8_t>(v));
    } else if (cmd == "fail") {
        CrKeyFault fault{};
        int err = 0;
        ok = static_cast<bool>(in >> arg >> err) && ParseFault(arg, &fault);
        if (ok)
            CrKeyEmuSetFault(emu, fault, err);
    } else if (cmd == "stats") {
        CrKeyEmuStats s = CrKeyEmuGetStats(emu);
        std::printf("opens=%u setpoll=%u getsts=%u bytes=%u polltime=%d\n", s.opens, s.setPollCalls,
                    s.getStsCalls, s.bytesSent, s.lastPollTime);
        std::fflush(stdout);
    } else {
        ok = false;
    }
    if (!ok)
        std::fprintf(stderr, "kvocrkey: cannot do: %s\n", line.c_str());
    return true;
}

// Waits for commands while the program runs; returns its wait status.
int Session(CrKeyEmu *emu, pid_t pid)
{
    std::string pending;
    bool open = true;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        if (!open)
            break;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            open = false;
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; open && (nl = pending.find('\n')) != std::string::npos;) {
            open = Command(emu, pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    int first = 1;
    if (first < argc && std::strcmp(argv[first], "--") == 0)
        ++first;
    if (first >= argc) {
        std::fprintf(stderr, "usage: kvocrkey [--] PROGRAM ARGS...\n");
        return 2;
    }
    std::string error;
    CrKeyEmu *emu = CrKeyEmuCreate(&error);
    if (emu == nullptr) {
        std::fprintf(stderr, "kvocrkey: no device emulation: %s\n", error.c_str());
        return 1;
    }
    pid_t pid = Start(argv + first);
    if (pid < 0) {
        std::fprintf(stderr, "kvocrkey: fork: %s\n", std::strerror(errno));
        CrKeyEmuDestroy(emu);
        return 1;
    }
    int status = Session(emu, pid);
    CrKeyEmuDestroy(emu);
    return ExitCode(status);
}
