// kvoroot.h - a private controller root for one test (KVO_ROOT at a fresh folder
// with tmp/pipe and the key file, removed after), and a FIFO held as its module holds it.
#pragma once

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kvomessaging.h"
#include "kvopaths.h"

class KvoRoot {
public:
    KvoRoot();
    ~KvoRoot(); // KVO_ROOT restored, folder removed
    KvoRoot(const KvoRoot &) = delete;
    KvoRoot &operator=(const KvoRoot &) = delete;

    const std::string &Dir() const { return dir_; }
    bool MakeFifo(KvoPathId id) const { return mkfifo(KvoPath(id), 0666) == 0; }
    bool MakeAllFifos() const; // the peer table and the service's own

private:
    std::string dir_, savedRoot_;
    bool hadRoot_ = false;
};

// A FIFO held read-write and non-blocking: senders always find a reader.
class HeldFifo {
public:
    explicit HeldFifo(const char *path) : fd(open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    explicit HeldFifo(KvoPathId id) : HeldFifo(KvoPath(id)) {}
    ~HeldFifo() { if (fd >= 0) close(fd); }
    HeldFifo(const HeldFifo &) = delete;
    HeldFifo &operator=(const HeldFifo &) = delete;

    int fd;
    std::string Drain() const; // every byte it holds now
    int Fill() const;          // 256-byte frames written until full
};

std::string Data(const std::string &head); // 250 data bytes: head, then spaces
std::string ReadFile(const std::string &path);
