// logtail.cpp - reading the service's log FIFO line by line.
#include "logtail.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool LogTail::Open(const std::string &fifo, const std::string &copy, std::string *error)
{
    fd_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        *error = fifo + ": " + std::strerror(errno);
        return false;
    }
    copyFd_ = open(copy.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return true;
}

void LogTail::Read(std::vector<ServiceLogLine> *out)
{
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
        out->push_back(Split(partial_.substr(start, nl - start)));
        start = nl + 1;
    }
    partial_.erase(0, start);
}

ServiceLogLine LogTail::Split(const std::string &line)
{
    ServiceLogLine l;
    l.text = line;
    if (line.size() < 3 || line[0] != '<')
        return l;
    size_t close = line.find('>');
    size_t colon = line.find("]: ");
    if (close == std::string::npos || colon == std::string::npos || colon < close)
        return l;
    l.priority = std::atoi(line.c_str() + 1) & 7;
    l.text = line.substr(colon + 3);
    return l;
}

void LogTail::Close()
{
    if (fd_ >= 0)
        close(fd_);
    if (copyFd_ >= 0)
        close(copyFd_);
    fd_ = copyFd_ = -1;
}
