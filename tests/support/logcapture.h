// logcapture.h - what a function logged, line by line with its priority;
// an optional action sees each line as it is logged (in the logging thread).
#pragma once

#include <functional>
#include <string>
#include <vector>

struct LogLine {
    int priority;
    std::string text; // as formatted by the caller, line feed included
};

// Installs a log sink for its lifetime.  One capture at a time.
class LogCapture {
public:
    using Action = std::function<void(const std::string &text)>;
    explicit LogCapture(Action action = nullptr);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<LogLine> &Lines() const { return lines_; }
    void Clear() { lines_.clear(); }
    // Lines equal to text at priority (any priority when -1).
    int Count(const std::string &text, int priority = -1) const;
    bool Has(const std::string &text, int priority = -1) const { return Count(text, priority) > 0; }
    std::vector<std::string> AtPriority(int priority) const;
    std::string Dump() const; // "<pri> text" a line, for failure messages

private:
    static void Sink(int priority, const char *text, void *ctx);
    Action action_;
    std::vector<LogLine> lines_;
};
