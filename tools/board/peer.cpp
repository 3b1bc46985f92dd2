// peer.cpp - holding a peer FIFO and moving whole frames through it.
#include "board/peer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kvoboard {

bool PeerFifo::Open(const std::string &path, std::string *error)
{
    Close();
    // Reading and writing: the open never waits for the other end.
    fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void PeerFifo::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

size_t PeerFifo::ReadFrame(uint8_t (&buf)[FIFO_MSG_SIZE])
{
    ssize_t n;
    do
        n = fd_ < 0 ? 0 : read(fd_, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool PeerFifo::Write(const void *bytes, size_t len, const Deadline &deadline)
{
    if (fd_ < 0)
        return false;
    for (;;) {
        ssize_t n = write(fd_, bytes, len);
        if (n == static_cast<ssize_t>(len))
            return true;
        // A FIFO write of at most PIPE_BUF bytes is never partial.
        if (n >= 0 || (errno != EAGAIN && errno != EINTR) || deadline.Passed())
            return false;
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, deadline.MsLeft(50));
    }
}

} // namespace kvoboard
