// procfs.h - what /proc tells kvomsg about other processes: their names,
// which of them hold a FIFO open for reading (watch must not take their
// frames), and which run a module of the controller (what monitor follows).
#pragma once

#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

struct FifoHolder {
    pid_t pid;
    std::string command;
};

// "kvogdbt": the base name of the program the process runs (its argv[0]),
// else its short name; "?" once it is gone.
std::string ProcessCommand(pid_t pid);

// "pid 12 (kvogdbt)".
std::string ProcessLabel(pid_t pid, const std::string &command);
// "pid 12 (kvogdbt), pid 14 (kvosts)".
std::string ProcessLabels(const std::vector<FifoHolder> &processes);

// The processes other than self with a descriptor open for reading (read-only
// or read-write) on the file fifo.  *unreadable counts the processes whose
// descriptors could not be looked at (other users' ones, without root).
std::vector<FifoHolder> FifoReaders(const struct stat &fifo, pid_t self, int *unreadable);

// The processes other than self whose command is one of names.
std::vector<FifoHolder> ProcessesNamed(const std::vector<std::string> &names, pid_t self);
