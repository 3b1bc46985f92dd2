// runtool.h - a tool run as a child process, and what it printed.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct ToolRun {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// argv[0] is the program's path (or path comes first); standard input from stdinPath or /dev/null.
inline ToolRun RunTool(const std::vector<std::string> &argv, const std::string &stdinPath = "")
{
    ToolRun t;
    FILE *files[2] = {std::tmpfile(), std::tmpfile()}; // standard output and error
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY), STDIN_FILENO);
        dup2(fileno(files[0]), STDOUT_FILENO), dup2(fileno(files[1]), STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    t.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    for (int i = 0; i < 2; std::fclose(files[i++]))
        for (int c = (std::rewind(files[i]), 0); (c = std::getc(files[i])) != EOF;)
            (i == 0 ? t.out : t.err) += static_cast<char>(c);
    return t;
}

inline ToolRun RunTool(const char *path, std::vector<std::string> args, const std::string &stdinPath = "")
{
    args.insert(args.begin(), path);
    return RunTool(args, stdinPath);
}
