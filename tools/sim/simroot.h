// simroot.h - the private root of one simulated controller: a folder that
// KVO_ROOT points at, with the FIFO folder and every FIFO of the peer
// table, the key file, the CONFIG and OTHER segments, and the FIFO that
// carries the service's log.  Everything is removed again at the end.
#pragma once

#include <cstdint>
#include <string>

#include "scenario.h"

struct ProcInfo;

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
    bool MakeFolders(std::string *error);
    bool MakeKeyFile(const std::string &key, std::string *error);
    bool MakeFifos(std::string *error);
    bool MakeSegments(std::string *error);

    std::string dir_;
    bool ownDir_ = false;
    bool keep_ = false;
    ProcInfo *pi_ = nullptr; // the runtime's record for the segment calls
    uint8_t *config_ = nullptr;
    uint8_t *other_ = nullptr;
};
