// logfile.cpp - reading the service's log lines as they come.
#include "board/logfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kvoboard {

namespace {

// Digits from s[*i] up to the character end; false when there are none.
bool Number(const std::string &s, size_t *i, char end, int *out)
{
    size_t start = *i;
    while (*i < s.size() && s[*i] >= '0' && s[*i] <= '9')
        ++*i;
    if (*i == start || *i >= s.size() || s[*i] != end || *i - start > 9)
        return false;
    *out = std::atoi(s.c_str() + start);
    ++*i;
    return true;
}

} // namespace

bool ParseLogLine(const std::string &line, LogLine *out)
{
    size_t i = 1;
    int pri = 0, pid = 0;
    if (line.empty() || line[0] != '<' || !Number(line, &i, '>', &pri))
        return false;
    size_t open = line.find('[', i);
    if (open == std::string::npos || open == i)
        return false;
    std::string ident = line.substr(i, open - i);
    i = open + 1;
    if (!Number(line, &i, ']', &pid) || line.compare(i, 2, ": ") != 0)
        return false;
    out->pri = pri;
    out->ident = ident;
    out->pid = pid;
    out->text = line.substr(i + 2);
    return true;
}

void LogFile::OpenFile(const std::string &path)
{
    Close();
    path_ = path;
}

bool LogFile::OpenFifo(const std::string &path, std::string *error)
{
    Close();
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void LogFile::CopyTo(const std::string &path)
{
    if (copyFd_ >= 0)
        close(copyFd_);
    copyFd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void LogFile::Read(std::vector<std::string> *lines)
{
    if (fd_ < 0 && !path_.empty())
        fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC); // appears with the first line
    char buf[4096];
    for (;;) {
        ssize_t n = fd_ < 0 ? -1 : read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (copyFd_ >= 0)
            (void)!write(copyFd_, buf, static_cast<size_t>(n));
        partial_.append(buf, static_cast<size_t>(n));
    }
    size_t start = 0, nl;
    while ((nl = partial_.find('\n', start)) != std::string::npos) {
        lines->push_back(partial_.substr(start, nl - start));
        start = nl + 1;
    }
    partial_.erase(0, start);
}

void LogFile::Close()
{
    if (fd_ >= 0)
        close(fd_);
    if (copyFd_ >= 0)
        close(copyFd_);
    fd_ = copyFd_ = -1;
    partial_.clear();
}

} // namespace kvoboard
