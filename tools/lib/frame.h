// frame.h - one 256-byte message as the tools hold it: module id, command
// id and the 250 data bytes, split and built exactly as the runtime does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "kvomessaging.h"

using FrameData = std::array<uint8_t, FIFO_MSG_DATA_SIZE>;

struct Frame {
    int mid = 0;
    int cid = 0;
    FrameData data;  // spaces unless set, as every sender starts
    size_t size = FIFO_MSG_SIZE; // bytes received; less for a short read
    Frame() { data.fill(' '); }
};

// A frame whose data starts with head, spaces after it.
Frame MakeFrame(int mid, int cid, std::initializer_list<uint8_t> head = {});

// Bytes placed at an offset of the data area.
struct DataPatch {
    size_t offset = 0;
    std::vector<uint8_t> bytes;
};

// Splits n received bytes (1 to 256): each id is atoi of its three
// characters; bytes missing from a short read count as zero.
Frame ParseFrame(const uint8_t *buf, size_t n);
// The 256 bytes a sender writes ("%03d" ids, then the data).
std::array<uint8_t, FIFO_MSG_SIZE> EncodeFrame(const Frame &frame);
// Data area of spaces with the patches applied; false when one reaches
// past the 250 bytes.
bool BuildData(const std::vector<DataPatch> &patches, FrameData *data);
// Whether every patched byte is as given.
bool DataMatches(const std::vector<DataPatch> &patches, const FrameData &data);
