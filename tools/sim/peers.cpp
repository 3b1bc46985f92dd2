// peers.cpp - holding and reading the peer FIFOs.
#include "peers.h"

#include <string>

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
    for (KvoPathId path : kReadOrder)
        if (!fifos_[static_cast<size_t>(IndexOf(path))].Open(KvoPath(path), error))
            return false;
    return true;
}

void Peers::AddPollFds(std::vector<pollfd> *fds) const
{
    for (const auto &fifo : fifos_)
        if (fifo.IsOpen())
            fds->push_back({fifo.Fd(), POLLIN, 0});
}

void Peers::ReadAll(std::vector<PeerFrame> *out)
{
    uint8_t buf[FIFO_MSG_SIZE];
    for (KvoPathId path : kReadOrder) {
        int i = IndexOf(path);
        kvoboard::PeerFifo &fifo = fifos_[static_cast<size_t>(i)];
        size_t n;
        while ((n = fifo.ReadFrame(buf, kvoboard::Deadline::Now())) > 0)
            out->push_back({i, ParseFrame(buf, n)});
    }
}

void Peers::Close()
{
    for (auto &fifo : fifos_)
        fifo.Close();
}
