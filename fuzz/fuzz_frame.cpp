// fuzz_frame.cpp - the frame parser ComFIFOGetData over a pipe.  Input: a script
// of operations (0: read one frame; 1..254: write that many following bytes;
// 255: write 256), so every chunking read() can deliver is reachable.  A model
// of the pipe predicts each read, after which:
//  - the count is what one read of at most 256 bytes returns (0 when empty);
//  - for 0, mid, cid and data are untouched;
//  - else the ids are atoi of their three bytes and data exactly 250 bytes of
//    this read, zeros past the count, never an earlier frame's (the output is a
//    heap block of 250 bytes, so ASan sees any overrun).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzzcommon.h"
#include "kvomessaging.h"
#include "kvoruntime.h"

namespace {

constexpr int kSentinelId = -0x5a5a5a5;
constexpr unsigned char kSentinelByte = 0xA5;

void ReadAndCheck(ProcInfo *info, std::deque<unsigned char> &pending)
{
    std::vector<unsigned char> data(FIFO_MSG_DATA_SIZE, kSentinelByte);
    int mid = kSentinelId, cid = kSentinelId;
    int n = ComFIFOGetData(info, &mid, &cid, reinterpret_cast<char *>(data.data()));
    if (n < 0 || static_cast<size_t>(n) != std::min(pending.size(), size_t{FIFO_MSG_SIZE}))
        FuzzFail("read count %d, the pipe held %zu bytes", n, pending.size());
    unsigned char frame[FIFO_MSG_SIZE] = {};
    std::copy(pending.begin(), pending.begin() + n, frame);
    pending.erase(pending.begin(), pending.begin() + n);
    if (n == 0) {
        if (mid != kSentinelId || cid != kSentinelId ||
            std::any_of(data.begin(), data.end(), [](unsigned char b) { return b != kSentinelByte; }))
            FuzzFail("outputs written for a count of 0");
    } else if (mid != Atoi3(frame) || cid != Atoi3(frame + 3) ||
               std::memcmp(data.data(), frame + 6, FIFO_MSG_DATA_SIZE) != 0) {
        FuzzFail("frame of %d bytes parsed wrongly or not zero-filled past the count: mid %d cid %d", n, mid, cid);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    static int fds[2] = {-1, -1};
    static ProcInfo *info = nullptr;
    if (info == nullptr) {
        FuzzQuietLog();
        info = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
        if (info == nullptr || pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            std::abort();
        info->iSelectDes = fds[0];
    }
    std::deque<unsigned char> pending;
    for (size_t i = 0; i < size;) {
        unsigned op = in[i++];
        size_t len = std::min(op == 255 ? size_t{FIFO_MSG_SIZE} : op, size - i);
        if (op == 0)
            ReadAndCheck(info, pending);
        else if (len == 0)
            break;
        else if (write(fds[1], in + i, len) != static_cast<ssize_t>(len))
            FuzzFail("pipe write of %zu bytes failed", len);
        pending.insert(pending.end(), in + i, in + i + len);
        i += len;
    }
    while (!pending.empty())
        ReadAndCheck(info, pending);
    ReadAndCheck(info, pending); // empty pipe: count 0, outputs untouched
    return 0;
}
