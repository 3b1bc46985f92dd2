// peer.h - one peer module's end of its FIFO, held for reading and writing
// without blocking as the module holds it (so the service's sends never
// wait and its opens never block), and the 256-byte frames on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "board/deadline.h"
#include "kvomessaging.h"

namespace kvoboard {

class PeerFifo {
public:
    PeerFifo() = default;
    ~PeerFifo() { Close(); }
    PeerFifo(const PeerFifo &) = delete;
    PeerFifo &operator=(const PeerFifo &) = delete;

    bool Open(const std::string &path, std::string *error);
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close();

    // One read of at most one frame, as a receiver reads: the bytes read,
    // 0 when none are waiting.
    size_t ReadFrame(uint8_t (&buf)[FIFO_MSG_SIZE]);
    // All len bytes in one write, waiting for room until the deadline.
    bool Write(const void *bytes, size_t len, const Deadline &deadline);

private:
    int fd_ = -1;
};

} // namespace kvoboard
