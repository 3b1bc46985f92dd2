#include "msgtest.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

FifoPeer::FifoPeer(const char *path) : fd_(open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}

FifoPeer::~FifoPeer()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string FifoPeer::ReadAll() const
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

int FifoPeer::Fill() const
{
    const std::string frame = Frame("999999", "filler");
    int count = 0;
    while (write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size()))
        ++count;
    return count;
}

std::string Data(const std::string &text)
{
    std::string d = text;
    d.resize(FIFO_MSG_DATA_SIZE, ' ');
    return d;
}

std::string Frame(const std::string &ids, const std::string &text) { return ids + Data(text); }

namespace {

std::string ErrLine(const char *what, const std::string &path, int err)
{
    return std::string(what) + " (fifo=" + path + ", errno=" + std::to_string(err) + "(" + strerror(err) +
           "))\n";
}

} // namespace

std::string ReadOpenError(const std::string &path, int err) { return ErrLine("FIFO read open error", path, err); }
std::string WriteOpenError(const std::string &path, int err) { return ErrLine("FIFO write open error", path, err); }
std::string WriteError(const std::string &path, int err) { return ErrLine("FIFO write error", path, err); }

std::string Trace(const char *which, int line, const char *func)
{
    return std::string(which) + " of function ,..\\src\\qnosfifo," + std::to_string(line) + ",@" + func + "\n";
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool IsFifo(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

LogHook::LogHook(Action action) : action_(std::move(action)) { ComLogSetSink(&LogHook::Sink, this); }

LogHook::~LogHook() { ComLogSetSink(nullptr, nullptr); }

void LogHook::Sink(int priority, const char *text, void *ctx)
{
    auto *self = static_cast<LogHook *>(ctx);
    self->lines_.push_back({priority, text});
    if (self->action_)
        self->action_(priority, text);
}

int LogHook::Count(const std::string &text, int priority) const
{
    int n = 0;
    for (const auto &l : lines_)
        if (l.text == text && (priority < 0 || l.priority == priority))
            ++n;
    return n;
}

std::string LogHook::Dump() const
{
    std::string out;
    for (const auto &l : lines_)
        out += "<" + std::to_string(l.priority) + "> " + l.text + "\n";
    return out;
}
