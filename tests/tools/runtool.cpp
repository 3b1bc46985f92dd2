#include "runtool.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool Drain(int fd, std::string *text) // false at the end
{
    char buf[4096];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        text->append(buf, static_cast<size_t>(n));
    return n > 0;
}

} // namespace

ToolRun StartTool(const std::vector<std::string> &argv, const std::string &stdinPath)
{
    ToolRun t;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return t;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if ((t.pid = fork()) == 0) {
        dup2(open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY), STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    t.fds[0] = out[0];
    t.fds[1] = err[0];
    return t;
}

bool WaitForErr(ToolRun *run, const std::string &text)
{
    for (;;) {
        size_t at = run->err.find(text);
        if (at != std::string::npos && run->err.find('\n', at) != std::string::npos)
            return true;
        pollfd p = {run->fds[1], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0 || !Drain(run->fds[1], &run->err))
            return false;
    }
}

ToolRun &FinishTool(ToolRun *run)
{
    pollfd p[2] = {{run->fds[0], POLLIN, 0}, {run->fds[1], POLLIN, 0}};
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i)
            if (p[i].fd >= 0 && p[i].revents != 0 && !Drain(p[i].fd, i == 0 ? &run->out : &run->err)) {
                close(p[i].fd);
                p[i].fd = -1;
            }
    }
    int st = 0;
    while (waitpid(run->pid, &st, 0) < 0 && errno == EINTR) {
    }
    run->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return *run;
}
