#include "logcapture.h"

#include "kvolog.h"

LogCapture::LogCapture(Action action) : action_(std::move(action)) { ComLogSetSink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { ComLogSetSink(nullptr, nullptr); }

void LogCapture::Sink(int priority, const char *text, void *ctx)
{
    auto *self = static_cast<LogCapture *>(ctx);
    self->lines_.push_back({priority, text});
    if (self->action_)
        self->action_(text);
}

int LogCapture::Count(const std::string &text, int priority) const
{
    int n = 0;
    for (const auto &l : lines_)
        n += l.text == text && (priority < 0 || l.priority == priority);
    return n;
}

std::vector<std::string> LogCapture::AtPriority(int priority) const
{
    std::vector<std::string> out;
    for (const auto &l : lines_)
        if (l.priority == priority)
            out.push_back(l.text);
    return out;
}

std::string LogCapture::Dump() const
{
    std::string out;
    for (const auto &l : lines_)
        out += "<" + std::to_string(l.priority) + "> " + l.text + (l.text.empty() || l.text.back() != '\n' ? "\n" : "");
    return out;
}
