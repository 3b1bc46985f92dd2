// simroot.h - the private root of one simulated controller: a folder that
// KVO_ROOT points at, with the FIFO folder and every FIFO of the peer
// table, the key file, the CONFIG and OTHER segments, and the FIFO that
// carries the service's log.  Everything is removed again at the end.
#pragma once

#include <cstdint>
#include <string>

#include "board/root.h"
#include "board/segments.h"
#include "scenario.h"

class SimRoot {
public:
    SimRoot() = default;
    ~SimRoot() { Remove(); }
    SimRoot(const SimRoot &) = delete;
    SimRoot &operator=(const SimRoot &) = delete;

    // dir empty: a fresh temporary folder.  keep: leave the folder (not the
    // segments) behind at the end.
    bool Create(const std::string &dir, bool keep, std::string *error);
    // A byte range of CONFIG ('c') or OTHER ('o'); false outside it.
    bool Write(const SegmentWrite &w);
    // Human form of a write: "CONFIG[27648] = 31 ('1')".
    static std::string Describe(const SegmentWrite &w);
    void Remove();

    const std::string &Dir() const { return dir_; }
    std::string LogFifo() const { return dir_ + "/kvogdbt.logfifo"; }
    std::string LogCopy() const { return dir_ + "/kvogdbt.log"; }

private:
    std::string dir_;
    kvoboard::BoardRoot root_;
    kvoboard::BoardSegments segments_;
};
