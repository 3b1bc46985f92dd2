// procfs.cpp - scanning /proc for processes and their open FIFOs.
#include "procfs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

std::string ReadSmallFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Numeric(const char *name, long *value)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(name, &end, 10);
    if (name[0] < '0' || name[0] > '9' || *end != '\0' || errno != 0)
        return false;
    *value = v;
    return true;
}

// Calls fn for every numeric entry of a /proc folder; false when the folder
// cannot be read.
bool ForEachNumber(const std::string &dir, const std::function<void(long)> &fn)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    long n;
    while (const dirent *e = readdir(d))
        if (Numeric(e->d_name, &n))
            fn(n);
    closedir(d);
    return true;
}

// The access mode of a descriptor: the "flags:" line of fdinfo, in octal.
int AccessMode(pid_t pid, long fd)
{
    std::istringstream in(ReadSmallFile("/proc/" + std::to_string(pid) + "/fdinfo/" +
                                        std::to_string(fd)));
    std::string key;
    while (in >> key) {
        if (key == "flags:") {
            unsigned long flags = 0;
            in >> std::oct >> flags;
            return static_cast<int>(flags & O_ACCMODE);
        }
    }
    return -1;
}

bool Reads(pid_t pid, long fd)
{
    int mode = AccessMode(pid, fd);
    return mode == O_RDONLY || mode == O_RDWR;
}

} // namespace

std::string ProcessCommand(pid_t pid)
{
    std::string base = "/proc/" + std::to_string(pid);
    std::string cmd = ReadSmallFile(base + "/cmdline");
    cmd = cmd.substr(0, cmd.find('\0'));
    if (cmd.empty()) {
        cmd = ReadSmallFile(base + "/comm");
        while (!cmd.empty() && cmd.back() == '\n')
            cmd.pop_back();
    }
    size_t slash = cmd.rfind('/');
    if (slash != std::string::npos)
        cmd.erase(0, slash + 1);
    return cmd.empty() ? "?" : cmd;
}

std::string ProcessLabel(pid_t pid, const std::string &command)
{
    return "pid " + std::to_string(pid) + " (" + command + ")";
}

std::string ProcessLabels(const std::vector<FifoHolder> &processes)
{
    std::string s;
    for (const FifoHolder &p : processes)
        s += (s.empty() ? "" : ", ") + ProcessLabel(p.pid, p.command);
    return s;
}

std::vector<FifoHolder> FifoReaders(const struct stat &fifo, pid_t self, int *unreadable)
{
    std::vector<FifoHolder> found;
    *unreadable = 0;
    ForEachNumber("/proc", [&](long pid) {
        if (pid == self)
            return;
        std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        bool holds = false;
        bool listed = ForEachNumber(fds, [&](long fd) {
            struct stat st;
            if (!holds && stat((fds + "/" + std::to_string(fd)).c_str(), &st) == 0 &&
                st.st_dev == fifo.st_dev && st.st_ino == fifo.st_ino &&
                Reads(static_cast<pid_t>(pid), fd))
                holds = true;
        });
        if (!listed && errno == EACCES)
            ++*unreadable;
        if (holds)
            found.push_back({static_cast<pid_t>(pid), ProcessCommand(static_cast<pid_t>(pid))});
    });
    return found;
}

std::vector<FifoHolder> ProcessesNamed(const std::vector<std::string> &names, pid_t self)
{
    std::vector<FifoHolder> found;
    ForEachNumber("/proc", [&](long pid) {
        if (pid == self)
            return;
        std::string cmd = ProcessCommand(static_cast<pid_t>(pid));
        for (const std::string &n : names)
            if (cmd == n) {
                found.push_back({static_cast<pid_t>(pid), cmd});
                break;
            }
    });
    return found;
}
