// procstat.cpp - readers of /proc/PID/{status,stat,schedstat,smaps_rollup}.
#include "procstat.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>

namespace {

long FieldKb(const std::string &path, const std::string &field)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size(), field) == 0)
            return std::strtol(line.c_str() + field.size(), nullptr, 10);
    }
    return -1;
}

// utime and stime: fields 14 and 15, counted after the command's closing ')'.
long StatTicks(const std::string &path)
{
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(all.substr(close + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> f; ++i) {
        if (i == 14)
            utime = std::atol(f.c_str());
        if (i == 15)
            stime = std::atol(f.c_str());
    }
    return utime + stime;
}

} // namespace

ProcCost ReadProcCost(pid_t pid)
{
    ProcCost c;
    std::string base = "/proc/" + std::to_string(pid);
    c.ticks = StatTicks(base + "/stat");
    DIR *d = opendir((base + "/task").c_str());
    if (d == nullptr)
        return c;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string task = base + "/task/" + e->d_name;
        ++c.threads;
        long v = FieldKb(task + "/status", "voluntary_ctxt_switches:");
        long n = FieldKb(task + "/status", "nonvoluntary_ctxt_switches:");
        c.voluntary += v > 0 ? v : 0;
        c.involuntary += n > 0 ? n : 0;
        std::ifstream ss(task + "/schedstat");
        long long ns = 0;
        if (ss >> ns)
            c.cpuNs += ns;
    }
    closedir(d);
    return c;
}

long ProcStatusKb(pid_t pid, const std::string &field)
{
    return FieldKb("/proc/" + std::to_string(pid) + "/status", field);
}

long SmapsRollupKb(pid_t pid, const std::string &field)
{
    return FieldKb("/proc/" + std::to_string(pid) + "/smaps_rollup", field);
}
