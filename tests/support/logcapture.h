// logcapture.h - what a function logged, line by line with its priority.
#pragma once

#include <string>
#include <vector>

struct LogLine {
    int priority;
    std::string text; // as formatted by the caller, line feed included
};

// Installs a log sink for its lifetime and records every line that passes
// the mask.  One capture at a time.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<LogLine> &Lines() const { return lines_; }
    void Clear() { lines_.clear(); }
    // Number of lines equal to text at priority (any priority when -1).
    int Count(const std::string &text, int priority = -1) const;
    bool Has(const std::string &text, int priority = -1) const { return Count(text, priority) > 0; }
    // Lines at priority, in order.
    std::vector<std::string> AtPriority(int priority) const;
    // Every line, "<pri> text", for failure messages.
    std::string Dump() const;

private:
    static void Sink(int priority, const char *text, void *ctx);
    std::vector<LogLine> lines_;
};
