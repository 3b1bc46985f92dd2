// shmfork.h - what the segment and process tests share: a zeroed record,
// removal of every segment a test made (also when it fails), and bounded
// waits for other processes.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kvoruntime.h"

inline std::unique_ptr<ProcInfo> NewProcInfo()
{
    return std::make_unique<ProcInfo>(); // value-initialised: every byte 0
}

// Removes, on destruction, the segment of every key handed to it.  Declare it
// after the KvoRoot so that it runs while the key file still exists and its
// inode cannot have been taken by a parallel test's key file.
class ShmCleanup {
public:
    ShmCleanup() = default;
    ShmCleanup(const ShmCleanup &) = delete;
    ShmCleanup &operator=(const ShmCleanup &) = delete;
    ~ShmCleanup()
    {
        for (key_t key : keys_) {
            int id = shmget(key, 0, 0);
            if (id >= 0)
                shmctl(id, IPC_RMID, nullptr);
        }
    }
    key_t Add(key_t key)
    {
        keys_.push_back(key);
        return key;
    }

private:
    std::vector<key_t> keys_;
};

// Number of attachments of the segment with this key, -1 without segment.
inline int AttachCount(key_t key)
{
    int id = shmget(key, 0, 0);
    shmid_ds ds{};
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0)
        return -1;
    return static_cast<int>(ds.shm_nattch);
}

inline bool SegmentExists(key_t key)
{
    return shmget(key, 0, 0) >= 0;
}

inline unsigned long AddrOf(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

inline std::string Hex(const void *p)
{
    std::ostringstream s;
    s << "0x" << std::hex << AddrOf(p);
    return s.str();
}

// Bounded waits: generous, so that only a real hang trips them, even under
// emulation.
constexpr int kWaitLimitMs = 60000;

// Waits for a child to end.  Its status when it could still be collected,
// else -1 (with SIGCHLD ignored the system reaps it), or -2 after the limit,
// when the child is killed.
inline int WaitChild(pid_t pid)
{
    for (int ms = 0; ms < kWaitLimitMs; ms += 10) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0)
            return -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;
}

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// SIGCHLD's disposition as the process has it now.
inline bool SigChldIgnored()
{
    struct sigaction sa {};
    sigaction(SIGCHLD, nullptr, &sa);
    return sa.sa_handler == SIG_IGN;
}
