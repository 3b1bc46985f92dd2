// simroot.cpp - the private controller root of the simulator: the shared
// board root and segments, plus the FIFO that carries the service's log.
#include "simroot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

bool SimRoot::Create(const std::string &dir, bool keep, std::string *error)
{
    root_.Keep(keep);
    if (!root_.Create("/tmp/kvosim.XXXXXX", dir, error))
        return false;
    dir_ = root_.Dir();
    root_.Export();
    // Made as a module of the controller makes them: with the runtime.
    if (!root_.MakeFifosWithRuntime(error))
        return false;
    if (mkfifo(LogFifo().c_str(), 0666) != 0 && errno != EEXIST) {
        *error = LogFifo() + ": " + std::strerror(errno);
        return false;
    }
    return segments_.CreateWithRuntime(root_, true, error);
}

bool SimRoot::Write(const SegmentWrite &w)
{
    return segments_.Set(static_cast<char>(w.segment), w.offset, w.bytes.data(), w.bytes.size());
}

std::string SimRoot::Describe(const SegmentWrite &w)
{
    std::string s = w.segment == 'c' ? "CONFIG[" : "OTHER[";
    s += std::to_string(w.offset) + "] =";
    for (uint8_t b : w.bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %02x", b);
        s += hex;
    }
    if (w.bytes.size() == 1 && w.bytes[0] >= 0x20 && w.bytes[0] < 0x7f)
        s += std::string(" ('") + static_cast<char>(w.bytes[0]) + "')";
    return s;
}

void SimRoot::Remove()
{
    segments_.Remove();
    root_.Remove();
}
