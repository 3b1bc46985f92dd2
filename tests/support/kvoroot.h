// kvoroot.h - a private controller root for one test (KVO_ROOT points at a
// fresh folder with tmp/pipe and the key file; removed after), and a FIFO
// held for reading and writing as its module holds it.
#pragma once

#include <string>

#include "kvomessaging.h"
#include "kvopaths.h"

class KvoRoot {
public:
    KvoRoot();  // mkdtemp, KVO_ROOT, tmp/pipe, the key file
    ~KvoRoot(); // KVO_ROOT restored, folder removed
    KvoRoot(const KvoRoot &) = delete;
    KvoRoot &operator=(const KvoRoot &) = delete;

    const std::string &Dir() const { return dir_; }
    bool MakeFifo(KvoPathId id) const; // mode 0666
    bool MakeAllFifos() const;         // the peer table and the service's own

private:
    std::string dir_;
    std::string savedRoot_;
    bool hadRoot_ = false;
};

// A FIFO held read-write and non-blocking: senders always find a reader.
class HeldFifo {
public:
    explicit HeldFifo(const char *path);
    explicit HeldFifo(KvoPathId id) : HeldFifo(KvoPath(id)) {}
    ~HeldFifo();
    HeldFifo(const HeldFifo &) = delete;
    HeldFifo &operator=(const HeldFifo &) = delete;

    int fd;
    std::string Drain() const; // every byte it holds now
    int Fill() const;          // 256-byte frames written until full
};

// 250 data bytes: head, then spaces.
std::string Data(const std::string &head);
std::string ReadFile(const std::string &path);
