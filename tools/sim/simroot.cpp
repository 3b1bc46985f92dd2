// simroot.cpp - building and removing the private controller root.  The
// FIFOs and segments are made with the runtime's own calls, as a module
// of the controller would make them.
#include "simroot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gdbt.h"
#include "kvoruntime.h"
#include "names.h"

namespace {

bool MakeDirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/')
            continue;
        if (mkdir(path.substr(0, i).c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// Attach read-write, creating the segment when no segment has the key.
uint8_t *Segment(ProcInfo *pi, int projId, size_t size)
{
    key_t key = ComShmKey(projId);
    int id = ComShmCreat(pi, key, size);
    if (id == -1)
        return nullptr;
    void *addr = ComShmOpenRw(pi, key, id);
    if (addr == KVO_SHM_FAILED)
        return nullptr;
    std::memset(addr, 0, size); // a segment left from an earlier run starts clean too
    return static_cast<uint8_t *>(addr);
}

constexpr int kKeyFileAttempts = 8;

bool KeyTaken(int projId)
{
    key_t key = ComShmKey(projId);
    return key == -1 || shmget(key, 0, 0) != -1;
}

} // namespace

bool SimRoot::Create(const std::string &dir, bool keep, std::string *error)
{
    keep_ = keep;
    if (dir.empty()) {
        char tmpl[] = "/tmp/kvosim.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            *error = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        dir_ = tmpl;
        ownDir_ = true;
    } else {
        dir_ = dir;
    }
    setenv("KVO_ROOT", dir_.c_str(), 1);
    pi_ = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
    if (pi_ == nullptr) {
        *error = "out of memory";
        return false;
    }
    return MakeFolders(error) && MakeFifos(error) && MakeSegments(error);
}

bool SimRoot::MakeFolders(std::string *error)
{
    std::string key = KvoPath(KVO_PATH_SHM_KEY);
    if (!MakeDirs(KvoPath(KVO_PATH_FIFO_DIR)) || !MakeDirs(key.substr(0, key.rfind('/')))) {
        *error = "cannot make the folders under " + dir_ + ": " + std::strerror(errno);
        return false;
    }
    return MakeKeyFile(key, error);
}

// ftok keeps only part of the key file's inode number, so the key file of
// another root (a simulator or test running beside this one) can give the
// same keys.  A key file whose keys are taken is set aside, which gives the
// next one another inode.
bool SimRoot::MakeKeyFile(const std::string &key, std::string *error)
{
    for (int attempt = 0; attempt < kKeyFileAttempts; ++attempt) {
        int fd = open(key.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = key + ": " + std::strerror(errno);
            return false;
        }
        close(fd);
        if (!KeyTaken(gdbtseg::kConfigProjId) && !KeyTaken(gdbtseg::kOtherProjId))
            return true;
        std::string aside = key + ".taken" + std::to_string(attempt);
        if (rename(key.c_str(), aside.c_str()) != 0)
            break;
    }
    *error = "no free shared-memory keys for " + key;
    return false;
}

bool SimRoot::MakeFifos(std::string *error)
{
    size_t n = 0;
    const PeerFifo *peers = PeerFifos(&n);
    for (size_t i = 0; i < n; ++i) {
        if (ComFifoCreateOpen(pi_, KvoPath(peers[i].path), 0) != 0) {
            *error = std::string("cannot make ") + KvoPath(peers[i].path);
            return false;
        }
    }
    if (mkfifo(LogFifo().c_str(), 0666) != 0 && errno != EEXIST) {
        *error = LogFifo() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool SimRoot::MakeSegments(std::string *error)
{
    config_ = Segment(pi_, gdbtseg::kConfigProjId, gdbtseg::kConfigSize);
    other_ = Segment(pi_, gdbtseg::kOtherProjId, gdbtseg::kOtherSize);
    if (config_ == nullptr || other_ == nullptr) {
        *error = "cannot create the CONFIG and OTHER segments";
        return false;
    }
    return true;
}

bool SimRoot::Write(const SegmentWrite &w)
{
    uint8_t *base = w.segment == 'c' ? config_ : other_;
    size_t size = w.segment == 'c' ? gdbtseg::kConfigSize : gdbtseg::kOtherSize;
    if (base == nullptr || w.offset > size || w.bytes.size() > size - w.offset)
        return false;
    if (!w.bytes.empty())
        std::memcpy(base + w.offset, w.bytes.data(), w.bytes.size());
    return true;
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
    if (pi_ != nullptr) {
        // Detach, then mark for removal: the system frees each segment once
        // the service has detached it too.
        for (int projId : {gdbtseg::kConfigProjId, gdbtseg::kOtherProjId}) {
            uint8_t *addr = projId == gdbtseg::kConfigProjId ? config_ : other_;
            if (addr == nullptr)
                continue;
            (void)ComShmClose(pi_, ComShmKey(projId));
            (void)ComShmRm(pi_, ComShmKey(projId));
        }
        std::free(pi_);
        pi_ = nullptr;
        config_ = other_ = nullptr;
    }
    if (ownDir_ && !keep_ && !dir_.empty())
        (void)nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    ownDir_ = false;
}
