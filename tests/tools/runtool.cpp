// runtool.cpp - fork, exec and collect the output of a tool.
#include "runtool.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

ToolProc Start(const std::vector<std::string> &argv, const std::string &stdinPath, bool splitErr)
{
    ToolProc t;
    int out[2], err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || (splitErr && pipe2(err, O_CLOEXEC) != 0))
        return t;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    t.pid = fork();
    if (t.pid == 0) {
        int in = open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(splitErr ? err[1] : out[1], STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    t.out = out[0];
    if (splitErr) {
        close(err[1]);
        t.err = err[0];
    }
    return t;
}

// Appends what fd has to *text; false at its end.
bool Drain(int fd, std::string *text)
{
    char buf[4096];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    text->append(buf, static_cast<size_t>(n));
    return true;
}

} // namespace

ToolRun RunTool(const std::vector<std::string> &argv, const std::string &stdinPath, bool splitErr)
{
    ToolProc t = Start(argv, stdinPath, splitErr);
    return FinishTool(&t);
}

ToolProc StartTool(const std::vector<std::string> &argv) { return Start(argv, "", true); }

bool WaitForErrLine(ToolProc *tool, const std::string &text)
{
    for (;;) {
        size_t at = tool->errSeen.find(text);
        if (at != std::string::npos && tool->errSeen.find('\n', at) != std::string::npos)
            return true;
        pollfd p = {tool->err, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0 || !Drain(tool->err, &tool->errSeen))
            return false;
    }
}

ToolRun FinishTool(ToolProc *tool)
{
    ToolRun run;
    run.err = tool->errSeen;
    pollfd p[2] = {{tool->out, POLLIN, 0}, {tool->err, POLLIN, 0}};
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i)
            if (p[i].fd >= 0 && p[i].revents != 0 && !Drain(p[i].fd, i == 0 ? &run.out : &run.err)) {
                close(p[i].fd);
                p[i].fd = -1;
            }
    }
    int st = 0;
    while (waitpid(tool->pid, &st, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return run;
}
