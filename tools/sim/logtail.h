// logtail.h - the service's own log lines, live: the service writes them
// ("<PRI>IDENT[PID]: TEXT") into a FIFO that this end holds open for
// reading and writing; each complete line is also kept in a plain copy.
#pragma once

#include <string>
#include <vector>

#include "board/logfile.h"

struct ServiceLogLine {
    int priority = -1;  // 0 to 7, -1 when the line has no "<PRI>"
    std::string text;   // after "IDENT[PID]: ", without the line feed
};

class LogTail {
public:
    LogTail() = default;
    ~LogTail() { Close(); }
    LogTail(const LogTail &) = delete;
    LogTail &operator=(const LogTail &) = delete;

    bool Open(const std::string &fifo, const std::string &copy, std::string *error);
    int Fd() const { return file_.Fd(); }
    // Complete lines that have arrived since the last call.
    void Read(std::vector<ServiceLogLine> *out);
    void Close();

    // "<166>KVOGDBT[42]: end of InitProc" split into its priority and text.
    static ServiceLogLine Split(const std::string &line);

private:
    kvoboard::LogFile file_;
};
