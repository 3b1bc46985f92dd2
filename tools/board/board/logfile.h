// logfile.h - the service's log as it writes it with KVO_LOG_TARGET
// ("<PRI>IDENT[PID]: TEXT" lines, one write each), read incrementally
// from a file or from a FIFO held open for reading and writing.
#pragma once

#include <string>
#include <vector>

namespace kvoboard {

struct LogLine {
    int pri = -1;      // facility | priority, as written
    std::string ident;
    int pid = -1;
    std::string text;  // after "IDENT[PID]: ", without the line feed
};

// False for a line of any other shape.
bool ParseLogLine(const std::string &line, LogLine *out);

class LogFile {
public:
    LogFile() = default;
    ~LogFile() { Close(); }
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // A file that the service appends to; it need not exist yet.
    void OpenFile(const std::string &path);
    // A FIFO the service writes into, held here for reading and writing.
    bool OpenFifo(const std::string &path, std::string *error);
    // Every byte read is also appended to path.
    void CopyTo(const std::string &path);
    int Fd() const { return fd_; }
    // Complete lines that arrived since the last call, without line feeds.
    void Read(std::vector<std::string> *lines);
    void Close();

private:
    std::string path_;
    int fd_ = -1;
    int copyFd_ = -1;
    std::string partial_;
};

} // namespace kvoboard
