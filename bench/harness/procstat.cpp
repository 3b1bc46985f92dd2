// procstat.cpp - context switches and CPU time from /proc/PID/task.
#include "procstat.h"

#include <dirent.h>
#include <fstream>
#include <string>

#include "board/board.h"

ProcCost ReadProcCost(pid_t pid)
{
    ProcCost c;
    c.ticks = kvoboard::CpuTicks(pid);
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (d == nullptr)
        return c;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string task = std::string("task/") + e->d_name;
        ++c.threads;
        long v = kvoboard::ProcField(pid, task + "/status", "voluntary_ctxt_switches:");
        long n = kvoboard::ProcField(pid, task + "/status", "nonvoluntary_ctxt_switches:");
        c.voluntary += v > 0 ? v : 0;
        c.involuntary += n > 0 ? n : 0;
        std::ifstream ss("/proc/" + std::to_string(pid) + "/" + task + "/schedstat");
        long long ns = 0;
        if (ss >> ns)
            c.cpuNs += ns;
    }
    closedir(d);
    return c;
}
