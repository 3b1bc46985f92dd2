// kvoroot.h - a private controller root for one test: KVO_ROOT points at a
// fresh folder holding tmp/pipe and the key file's folder; removed after.
#pragma once

#include <string>

#include "kvopaths.h"

class KvoRoot {
public:
    KvoRoot();  // mkdtemp, KVO_ROOT, tmp/pipe, the key file
    ~KvoRoot(); // KVO_ROOT restored, folder removed
    KvoRoot(const KvoRoot &) = delete;
    KvoRoot &operator=(const KvoRoot &) = delete;

    const std::string &Dir() const { return dir_; }
    // Creates the FIFO for id (mode 0666); false on failure.
    bool MakeFifo(KvoPathId id) const;
    // Creates every FIFO of the peer table and the service's own.
    bool MakeAllFifos() const;

private:
    std::string dir_;
    std::string savedRoot_;
    bool hadRoot_ = false;
};
