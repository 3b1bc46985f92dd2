// runtool.cpp - fork, exec and collect the output of a tool.
#include "runtool.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

ToolRun RunTool(const std::vector<std::string> &argv, const std::string &stdinPath)
{
    ToolRun run;
    int out[2];
    if (pipe(out) != 0)
        return run;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        run.out.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return run;
}
