// peers.h - the peer modules' ends of their FIFOs.  Each FIFO is held for
// reading and writing without blocking, as its module holds it, so the
// service's sends never wait; frames are read 256 bytes at a time.
#pragma once

#include <array>
#include <poll.h>
#include <string>
#include <vector>

#include "board/peer.h"
#include "frame.h"

struct PeerFrame {
    int peer; // index into PeerFifos()
    Frame frame;
};

class Peers {
public:
    Peers() = default;
    ~Peers() { Close(); }
    Peers(const Peers &) = delete;
    Peers &operator=(const Peers &) = delete;

    // Every FIFO of the peer table except the service's own.
    bool Open(std::string *error);
    void AddPollFds(std::vector<pollfd> *fds) const;
    // Every frame waiting now.  When several FIFOs hold frames at once they
    // are taken in the order in which the service sends them within one
    // command (display, log, parent, authentication), which is what the
    // FIFOs themselves cannot tell.
    void ReadAll(std::vector<PeerFrame> *out);
    void Close();

private:
    std::array<kvoboard::PeerFifo, 16> fifos_; // by peer index
};
