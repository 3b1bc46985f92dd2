// peers.cpp - holding and reading the peer FIFOs.
#include "peers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "names.h"

namespace {

// Reading order of FIFOs found ready together (see Peers::ReadAll).
constexpr KvoPathId kReadOrder[] = {
    KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP, KVO_PATH_FIFO_DISP, KVO_PATH_FIFO_LOG,
    KVO_PATH_FIFO_PARE, KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_EK,   KVO_PATH_FIFO_FTP,
};

int IndexOf(KvoPathId path)
{
    size_t n = 0;
    const PeerFifo *peers = PeerFifos(&n);
    for (size_t i = 0; i < n; ++i)
        if (peers[i].path == path)
            return static_cast<int>(i);
    return -1;
}

} // namespace

bool Peers::Open(std::string *error)
{
    for (KvoPathId path : kReadOrder) {
        int i = IndexOf(path);
        const char *name = KvoPath(path);
        fds_[static_cast<size_t>(i)] = open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fds_[static_cast<size_t>(i)] < 0) {
            *error = std::string(name) + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void Peers::AddPollFds(std::vector<pollfd> *fds) const
{
    for (int fd : fds_)
        if (fd >= 0)
            fds->push_back({fd, POLLIN, 0});
}

void Peers::ReadAll(std::vector<PeerFrame> *out)
{
    uint8_t buf[FIFO_MSG_SIZE];
    for (KvoPathId path : kReadOrder) {
        int i = IndexOf(path);
        int fd = fds_[static_cast<size_t>(i)];
        if (fd < 0)
            continue;
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            out->push_back({i, ParseFrame(buf, static_cast<size_t>(n))});
        }
    }
}

void Peers::Close()
{
    for (int &fd : fds_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}
