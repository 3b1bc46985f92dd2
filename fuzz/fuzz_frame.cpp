// fuzz_frame.cpp - libFuzzer harness for the frame parser ComFIFOGetData.
//
// The input is a script of pipe operations: byte 0 reads one frame with
// ComFIFOGetData, bytes 1..254 write that many of the following input bytes
// into the pipe, 255 writes 256 bytes.  Writes merge in the pipe, so every
// chunking that read() can deliver is reachable.  A model of the pipe's
// contents predicts each read; after every read the harness checks:
//  - the count is what one read of at most 256 bytes returns (0 when empty);
//  - mid, cid and data are written only for a positive count;
//  - the outputs are the bytes of this read, zeros past the count: never
//    bytes of an earlier frame;
//  - ids are atoi of their three bytes; data is exactly 250 bytes (the
//    output buffer is a heap block of 250 bytes, so ASan sees any overrun).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzzcommon.h"
#include "kvomessaging.h"
#include "kvoruntime.h"

namespace {

constexpr int kSentinelId = -0x5a5a5a5;
constexpr unsigned char kSentinelByte = 0xA5;

struct PipeRig {
    int fds[2] = {-1, -1};
    ProcInfo *info = nullptr;
};

PipeRig &Rig()
{
    static PipeRig rig = [] {
        PipeRig r;
        FuzzQuietLog();
        if (pipe2(r.fds, O_NONBLOCK | O_CLOEXEC) != 0)
            std::abort();
        r.info = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
        r.info->iSelectDes = r.fds[0];
        return r;
    }();
    return rig;
}

int Atoi3(const unsigned char *p)
{
    char s[4] = {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]), 0};
    return std::atoi(s);
}

// The outputs one read of `got` bytes must give: the frame zero-filled.
bool Matches(const std::vector<unsigned char> &got, int mid, int cid, const unsigned char *data)
{
    unsigned char frame[FIFO_MSG_SIZE] = {};
    std::memcpy(frame, got.data(), got.size());
    return mid == Atoi3(frame) && cid == Atoi3(frame + 3) && std::memcmp(data, frame + 6, FIFO_MSG_DATA_SIZE) == 0;
}

void ReadAndCheck(PipeRig &rig, std::deque<unsigned char> &pending)
{
    std::vector<unsigned char> data(FIFO_MSG_DATA_SIZE, kSentinelByte);
    int mid = kSentinelId, cid = kSentinelId;
    int n = ComFIFOGetData(rig.info, &mid, &cid, reinterpret_cast<char *>(data.data()));
    size_t expect = std::min(pending.size(), size_t{FIFO_MSG_SIZE});
    if (n < 0)
        FuzzFail("ComFIFOGetData failed on a readable pipe: %d", n);
    if (static_cast<size_t>(n) != expect)
        FuzzFail("read count %d, the pipe held %zu bytes", n, pending.size());
    if (n == 0) {
        bool untouched = mid == kSentinelId && cid == kSentinelId;
        for (unsigned char b : data)
            untouched = untouched && b == kSentinelByte;
        if (!untouched)
            FuzzFail("outputs written for a count of 0");
        return;
    }
    std::vector<unsigned char> got(pending.begin(), pending.begin() + n);
    pending.erase(pending.begin(), pending.begin() + n);
    if (!Matches(got, mid, cid, data.data()))
        FuzzFail("frame of %d bytes parsed wrongly, or not zero-filled past the count (bytes of an earlier "
                 "frame?): mid %d cid %d", n, mid, cid);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    PipeRig &rig = Rig();
    std::deque<unsigned char> pending;
    size_t i = 0;
    while (i < size) {
        unsigned op = in[i++];
        if (op == 0) {
            ReadAndCheck(rig, pending);
            continue;
        }
        size_t len = op == 255 ? size_t{FIFO_MSG_SIZE} : op;
        if (len > size - i)
            len = size - i;
        if (len == 0)
            break;
        if (write(rig.fds[1], in + i, len) != static_cast<ssize_t>(len))
            FuzzFail("pipe write of %zu bytes failed", len);
        pending.insert(pending.end(), in + i, in + i + len);
        i += len;
    }
    while (!pending.empty())
        ReadAndCheck(rig, pending);
    ReadAndCheck(rig, pending); // empty pipe: count 0, outputs untouched
    return 0;
}
