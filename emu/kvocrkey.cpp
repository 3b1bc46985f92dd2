// kvocrkey.cpp - runs a program with the guard-button device emulated and
// lets an engineer work the button from standard input (kvocrkey --help
// lists the commands).  Ends with the program's exit status; quit or end of
// input stops the program with SIGTERM first.
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

namespace {

constexpr int kUsage = 2;
constexpr int kOwnFailure = 125;
constexpr int kCannotRun = 126;
constexpr int kNotFound = 127;

const char kHelp[] =
    "usage: kvocrkey [--] PROGRAM [ARGS...]\n"
    "Runs PROGRAM with the guard-button device /dev/cr_key emulated and works the\n"
    "button from commands on standard input, one per line:\n"
    "  press               the key goes down: key state pressed, event byte 1\n"
    "  release             the key goes up: key state released, no event byte\n"
    "  byte N              the device delivers event byte N (0 to 255)\n"
    "  fail open ERRNO     the program's next open of the device fails with ERRNO\n"
    "  fail setpoll ERRNO  set-poll-time requests fail with ERRNO\n"
    "  fail getsts ERRNO   get-key-state requests fail with ERRNO\n"
    "  fail read ERRNO     the next read of the device fails with ERRNO (-1: 0 bytes)\n"
    "                      (ERRNO is a number; 0 clears the fault)\n"
    "  stats               what the program did with the device so far\n"
    "  quit                the same as the end of input\n"
    "When standard input is not a terminal each command is echoed (\"> press\") on\n"
    "standard output, so that a transcript reads in order with the program's output.\n"
    "At quit or the end of input (Ctrl-D) kvocrkey stops the program with SIGTERM:\n"
    "the service ends at once, without its shutdown and without the termination\n"
    "report 605.  For an orderly end send the status module's terminate from\n"
    "another terminal: kvomsg send FifoGdbt sts terminate --hex 00\n"
    "Exit status: the program's own (128+N after signal N: 143 after SIGTERM);\n"
    "2 bad command line; 125 no device emulation or no new process; 126 PROGRAM\n"
    "cannot be run; 127 PROGRAM not found.\n";

const char kCommands[] = "press, release, byte N, fail open|setpoll|getsts|read ERRNO, stats, quit";

// Starts the program with our commands kept from it.  An exec that fails is
// reported through a close-on-exec pipe, so the caller tells "cannot be
// run" from the program's own early exit.  0, or the errno of the failure.
int Start(char **argv, pid_t *pid)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return errno;
    *pid = fork();
    if (*pid < 0) {
        int err = errno;
        close(report[0]);
        close(report[1]);
        return err;
    }
    if (*pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
        execvp(argv[0], argv);
        int err = errno;
        ssize_t ignored = write(report[1], &err, sizeof err);
        static_cast<void>(ignored);
        _exit(kNotFound);
    }
    close(report[1]);
    int err = 0;
    ssize_t n;
    do {
        n = read(report[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n != static_cast<ssize_t>(sizeof err))
        return 0; // the pipe closed at the exec: the program runs
    while (waitpid(*pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return err;
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

bool Refused(const std::string &line, const std::string &why)
{
    std::fprintf(stderr, "kvocrkey: '%s': %s\n", line.c_str(), why.c_str());
    return true;
}

// One command line; false when the session is to end.
bool Command(CrKeyEmu *emu, const std::string &line, bool echo)
{
    std::istringstream in(line);
    std::string cmd, arg, rest;
    in >> cmd;
    if (cmd.empty())
        return true;
    if (echo) {
        std::printf("> %s\n", line.c_str());
        std::fflush(stdout);
    }
    bool ok = true;
    if (cmd == "quit") {
        return false;
    } else if (cmd == "press") {
        ok = CrKeyEmuPress(emu);
    } else if (cmd == "release") {
        ok = CrKeyEmuRelease(emu);
    } else if (cmd == "byte") {
        long v = -1;
        if (!(in >> v) || v < 0 || v > 255 || in >> rest)
            return Refused(line, "byte takes one number from 0 to 255");
        ok = CrKeyEmuSendByte(emu, static_cast<uint8_t>(v));
    } else if (cmd == "fail") {
        CrKeyFault fault{};
        int err = 0;
        if (!(in >> arg) || !ParseFault(arg, &fault) || !(in >> err) || in >> rest)
            return Refused(line, "fail takes open, setpoll, getsts or read and an errno number");
        CrKeyEmuSetFault(emu, fault, err);
    } else if (cmd == "stats") {
        CrKeyEmuStats s = CrKeyEmuGetStats(emu);
        std::printf("opens=%u setpoll=%u getsts=%u bytes=%u polltime=%d\n", s.opens, s.setPollCalls,
                    s.getStsCalls, s.bytesSent, s.lastPollTime);
        std::fflush(stdout);
    } else {
        return Refused(line, std::string("no such command; the commands are ") + kCommands);
    }
    if (!ok)
        Refused(line, "the device emulation did not take it");
    return true;
}

// Waits for commands while the program runs; returns its wait status.
int Session(CrKeyEmu *emu, pid_t pid)
{
    bool echo = !isatty(STDIN_FILENO);
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
            open = Command(emu, pending.substr(0, nl), echo);
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
    if (first < argc && (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (first < argc && std::strcmp(argv[first], "--") == 0)
        ++first;
    else if (first < argc && argv[first][0] == '-') {
        std::fprintf(stderr, "kvocrkey: unknown option '%s' (see kvocrkey --help)\n", argv[first]);
        return kUsage;
    }
    if (first >= argc) {
        std::fprintf(stderr, "kvocrkey: which program? usage: kvocrkey [--] PROGRAM [ARGS...]\n");
        return kUsage;
    }
    std::string error;
    CrKeyEmu *emu = CrKeyEmuCreate(&error);
    if (emu == nullptr) {
        std::fprintf(stderr, "kvocrkey: no device emulation: %s\n", error.c_str());
        return kOwnFailure;
    }
    pid_t pid = -1;
    int err = Start(argv + first, &pid);
    if (err != 0) {
        std::fprintf(stderr, "kvocrkey: cannot start %s: %s\n", argv[first], std::strerror(err));
        CrKeyEmuDestroy(emu);
        return pid < 0 ? kOwnFailure : err == ENOENT ? kNotFound : kCannotRun;
    }
    int status = Session(emu, pid);
    CrKeyEmuDestroy(emu);
    return ExitCode(status);
}
