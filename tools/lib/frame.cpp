// frame.cpp - splitting and building frames.
#include "frame.h"

#include <cstdlib>
#include <cstring>

namespace {

int IdField(const uint8_t *field)
{
    char text[FIFO_MSG_ID_LEN + 1] = {};
    std::memcpy(text, field, FIFO_MSG_ID_LEN);
    return std::atoi(text);
}

// "%03d" of an id in 0 to 999, the only ids a frame can carry.
void PutId(uint8_t *field, int id)
{
    unsigned v = static_cast<unsigned>(id < 0 ? 0 : id > FIFO_MSG_ID_MAX ? FIFO_MSG_ID_MAX : id);
    field[0] = static_cast<uint8_t>('0' + v / 100);
    field[1] = static_cast<uint8_t>('0' + v / 10 % 10);
    field[2] = static_cast<uint8_t>('0' + v % 10);
}

bool PatchFits(const DataPatch &p)
{
    return p.offset <= FIFO_MSG_DATA_SIZE && p.bytes.size() <= FIFO_MSG_DATA_SIZE - p.offset;
}

} // namespace

Frame ParseFrame(const uint8_t *buf, size_t n)
{
    std::array<uint8_t, FIFO_MSG_SIZE> raw{};
    if (n > raw.size())
        n = raw.size();
    std::memcpy(raw.data(), buf, n);
    Frame f;
    f.size = n;
    f.mid = IdField(raw.data());
    f.cid = IdField(raw.data() + FIFO_MSG_ID_LEN);
    std::memcpy(f.data.data(), raw.data() + 2 * FIFO_MSG_ID_LEN, f.data.size());
    return f;
}

Frame MakeFrame(int mid, int cid, std::initializer_list<uint8_t> head)
{
    Frame f;
    f.mid = mid;
    f.cid = cid;
    size_t i = 0;
    for (uint8_t b : head)
        if (i < f.data.size())
            f.data[i++] = b;
    return f;
}

std::array<uint8_t, FIFO_MSG_SIZE> EncodeFrame(const Frame &frame)
{
    std::array<uint8_t, FIFO_MSG_SIZE> raw{};
    PutId(raw.data(), frame.mid);
    PutId(raw.data() + FIFO_MSG_ID_LEN, frame.cid);
    std::memcpy(raw.data() + 2 * FIFO_MSG_ID_LEN, frame.data.data(), frame.data.size());
    return raw;
}

bool BuildData(const std::vector<DataPatch> &patches, FrameData *data)
{
    data->fill(' ');
    for (const DataPatch &p : patches) {
        if (!PatchFits(p))
            return false;
        if (!p.bytes.empty())
            std::memcpy(data->data() + p.offset, p.bytes.data(), p.bytes.size());
    }
    return true;
}

bool DataMatches(const std::vector<DataPatch> &patches, const FrameData &data)
{
    for (const DataPatch &p : patches) {
        if (!PatchFits(p))
            return false;
        if (!p.bytes.empty() &&
            std::memcmp(data.data() + p.offset, p.bytes.data(), p.bytes.size()) != 0)
            return false;
    }
    return true;
}
