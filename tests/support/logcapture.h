// logcapture.h - what a function logged, line by line with its priority; an
// optional action sees each line as it is logged.  One capture at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kvolog.h"

struct LogLine {
    int priority;
    std::string text; // as formatted by the caller, line feed included
};

class LogCapture {
public:
    using Action = std::function<void(const std::string &text)>;
    explicit LogCapture(Action action = nullptr) : action_(std::move(action)) { ComLogSetSink(&Sink, this); }
    ~LogCapture() { ComLogSetSink(nullptr, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<LogLine> &Lines() const { return lines_; }
    void Clear() { lines_.clear(); }
    int Count(const std::string &text, int priority = -1) const // at any priority when -1
    {
        int n = 0;
        for (const auto &l : lines_)
            n += l.text == text && (priority < 0 || l.priority == priority);
        return n;
    }
    bool Has(const std::string &text, int priority = -1) const { return Count(text, priority) > 0; }
    std::vector<std::string> AtPriority(int priority) const
    {
        std::vector<std::string> out;
        for (const auto &l : lines_)
            if (l.priority == priority)
                out.push_back(l.text);
        return out;
    }
    std::string Dump() const // "<pri> text" a line, for failure messages
    {
        std::string out;
        for (const auto &l : lines_)
            out += "<" + std::to_string(l.priority) + "> " + l.text +
                   (l.text.empty() || l.text.back() != '\n' ? "\n" : "");
        return out;
    }

private:
    static void Sink(int priority, const char *text, void *ctx)
    {
        auto *self = static_cast<LogCapture *>(ctx);
        self->lines_.push_back({priority, text});
        if (self->action_)
            self->action_(text);
    }
    Action action_;
    std::vector<LogLine> lines_;
};
