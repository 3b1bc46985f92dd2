// service.h - the service process of a simulated controller: started with
// a given environment and argv, waited for, killed, and reaped exactly once.
#pragma once

#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>


namespace kvoboard {

struct ServiceStart {
    std::string path;              // the program
    std::vector<std::string> argv; // argv[0] first
    std::vector<std::string> env;  // the whole environment; empty: this process's
    bool searchPath = false;       // path found on PATH (a wrapper such as strace)
    bool dieWithParent = false;    // killed when this process ends
    // Run in the child just before exec: async-signal-safe calls only.
    void (*childSetup)(void *arg) = nullptr;
    void *childArg = nullptr;
};

// This process's environment without the variables named in drop.
std::vector<std::string> ProcessEnv(std::initializer_list<const char *> drop);

class BoardService {
public:
    BoardService() = default;
    ~BoardService() { Kill(); }
    BoardService(const BoardService &) = delete;
    BoardService &operator=(const BoardService &) = delete;

    // False when one is still running or the fork failed.
    bool Start(const ServiceStart &launch, std::string *error);
    // A process started elsewhere, to be reaped here.
    void Adopt(pid_t pid);
    pid_t Pid() const { return pid_; }
    bool Started() const { return pid_ > 0; }
    bool Ended() const { return ended_; }
    // Reaps it when it has ended by now.
    bool Running();
    // SIGKILL and reap, when it still runs.
    void Kill();

    // Once ended: exited by exit(), its status, the signal that ended it.
    // An end seen elsewhere (ECHILD) has none of them.
    bool Exited() const { return known_ && exited_; }
    int ExitStatus() const { return known_ && exited_ ? code_ : -1; }
    int Signal() const { return known_ && !exited_ ? code_ : 0; }
    // The exit status, or 128 plus the signal; -1 when not known.
    int Code() const { return !known_ ? -1 : exited_ ? code_ : 128 + code_; }

private:
    bool Poll(bool block);

    pid_t pid_ = -1;
    bool ended_ = false;
    bool known_ = false;
    bool exited_ = false;
    int code_ = 0;
};

} // namespace kvoboard
