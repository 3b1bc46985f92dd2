// service.cpp - starting, waiting for and reaping the service process.
#include "board/service.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kvoboard {

std::vector<std::string> ProcessEnv(std::initializer_list<const char *> drop)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        bool keep = true;
        for (const char *name : drop) {
            size_t n = std::strlen(name);
            keep = keep && !(std::strncmp(*e, name, n) == 0 && (*e)[n] == '=');
        }
        if (keep)
            env.emplace_back(*e);
    }
    return env;
}

bool BoardService::Start(const ServiceStart &launch, std::string *error)
{
    if (Started() && !ended_) {
        *error = "the service runs already";
        return false;
    }
    if (launch.argv.empty()) {
        *error = "no argv";
        return false;
    }
    // Everything the child needs is built here: after fork only
    // async-signal-safe calls (the caller may have threads).
    std::vector<std::string> args = launch.argv, env = launch.env;
    std::vector<char *> argv, envp;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string &kv : env)
        envp.push_back(&kv[0]);
    envp.push_back(nullptr);
    char *const *envArg = env.empty() ? environ : envp.data();
    const char *path = launch.path.c_str();

    pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        if (launch.dieWithParent)
            prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (launch.childSetup != nullptr)
            launch.childSetup(launch.childArg);
        if (launch.searchPath)
            execvpe(path, argv.data(), envArg);
        else
            execve(path, argv.data(), envArg);
        _exit(127);
    }
    pid_ = pid;
    ended_ = known_ = exited_ = false;
    code_ = 0;
    return true;
}

void BoardService::Adopt(pid_t pid)
{
    pid_ = pid;
    ended_ = known_ = exited_ = false;
    code_ = 0;
}

bool BoardService::Poll(bool block)
{
    if (ended_ || pid_ <= 0)
        return ended_;
    int st = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        ended_ = known_ = true;
        exited_ = WIFEXITED(st);
        code_ = exited_ ? WEXITSTATUS(st) : WTERMSIG(st);
    } else if (r < 0) {
        ended_ = true; // reaped elsewhere: how it ended is not known
        known_ = false;
    }
    return ended_;
}

bool BoardService::Running()
{
    return Started() && !Poll(false);
}

void BoardService::Kill()
{
    if (Running()) {
        kill(pid_, SIGKILL);
        (void)Poll(true);
    }
}

} // namespace kvoboard
