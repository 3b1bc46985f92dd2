// segments.h - the CONFIG and OTHER segments of a simulated controller,
// created fresh for the keys of its root and attached for reading and
// writing, so that the configuration can change while the service runs.
// The byte offsets the service reads are in kvosegments.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvoboard {

class BoardRoot;

// Segment names are their key ids, as in ComShmKey.
constexpr char kConfig = 'c';
constexpr char kOther = 'o';

class BoardSegments {
public:
    BoardSegments() = default;
    ~BoardSegments() { Remove(); }
    BoardSegments(const BoardSegments &) = delete;
    BoardSegments &operator=(const BoardSegments &) = delete;

    // CONFIG, and OTHER unless withOther is false (the service then finds
    // it missing).  Both start zero.
    bool Create(const BoardRoot &root, bool withOther, std::string *error);
    // The same with the runtime's own ComShmCreat and ComShmOpenRw, as the
    // controller's modules make them; the root must be exported to this
    // process's KVO_ROOT first.
    bool CreateWithRuntime(const BoardRoot &root, bool withOther, std::string *error);
    // Bytes at an offset of a segment; false outside it or when it is missing.
    bool Set(char seg, size_t off, const void *bytes, size_t n);
    bool SetByte(char seg, size_t off, uint8_t b) { return Set(seg, off, &b, 1); }
    // Detached and removed; the system frees each once the service has
    // detached it too.
    void Remove();

    static size_t Size(char seg);

private:
    uint8_t *Base(char seg) const { return seg == kConfig ? config_ : seg == kOther ? other_ : nullptr; }

    int ids_[2] = {-1, -1};
    uint8_t *config_ = nullptr;
    uint8_t *other_ = nullptr;
};

} // namespace kvoboard
