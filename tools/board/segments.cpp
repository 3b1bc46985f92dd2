// segments.cpp - creating, filling and removing CONFIG and OTHER.
#include "board/segments.h"

#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "board/root.h"
#include "kvosegments.h"
#include "kvoruntime.h"

namespace kvoboard {

namespace {

uint8_t *Make(key_t key, size_t size, int *id, std::string *error, const char *name)
{
    // Exclusive: the root's key file was chosen so that no segment has the key.
    *id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
    if (*id == -1) {
        *error = std::string(name) + " segment not created: " + std::strerror(errno);
        return nullptr;
    }
    void *p = shmat(*id, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1)) {
        *error = std::string(name) + " segment not attached: " + std::strerror(errno);
        return nullptr;
    }
    return static_cast<uint8_t *>(p);
}

uint8_t *MakeWithRuntime(int projId, size_t size, int *id, std::string *error, const char *name)
{
    ProcInfo info;
    std::memset(&info, 0, sizeof info);
    key_t key = ComShmKey(projId);
    *id = ComShmCreat(&info, key, size);
    if (*id == -1) {
        *error = std::string(name) + " segment not created (ComShmCreat)";
        return nullptr;
    }
    void *p = ComShmOpenRw(&info, key, *id);
    if (p == KVO_SHM_FAILED) {
        *error = std::string(name) + " segment not attached (ComShmOpenRw)";
        return nullptr;
    }
    return static_cast<uint8_t *>(p);
}

} // namespace

bool BoardSegments::CreateWithRuntime(const BoardRoot &root, bool withOther, std::string *error)
{
    if (root.Key(KVO_CONFIG_PROJ_ID) != ComShmKey(KVO_CONFIG_PROJ_ID)) {
        *error = "the board's root is not this process's KVO_ROOT";
        return false;
    }
    config_ = MakeWithRuntime(KVO_CONFIG_PROJ_ID, KVO_CONFIG_SIZE, &ids_[0], error, "CONFIG");
    if (config_ == nullptr)
        return false;
    if (!withOther)
        return true;
    other_ = MakeWithRuntime(KVO_OTHER_PROJ_ID, KVO_OTHER_SIZE, &ids_[1], error, "OTHER");
    return other_ != nullptr;
}

size_t BoardSegments::Size(char seg)
{
    return seg == kConfig ? KVO_CONFIG_SIZE : seg == kOther ? KVO_OTHER_SIZE : 0;
}

bool BoardSegments::Create(const BoardRoot &root, bool withOther, std::string *error)
{
    config_ = Make(root.Key(KVO_CONFIG_PROJ_ID), KVO_CONFIG_SIZE, &ids_[0], error, "CONFIG");
    if (config_ == nullptr)
        return false;
    if (!withOther)
        return true;
    other_ = Make(root.Key(KVO_OTHER_PROJ_ID), KVO_OTHER_SIZE, &ids_[1], error, "OTHER");
    return other_ != nullptr;
}

bool BoardSegments::Set(char seg, size_t off, const void *bytes, size_t n)
{
    uint8_t *base = Base(seg);
    size_t size = Size(seg);
    if (base == nullptr || off > size || n > size - off)
        return false;
    if (n > 0)
        std::memcpy(base + off, bytes, n);
    return true;
}

void BoardSegments::Remove()
{
    for (uint8_t **p : {&config_, &other_}) {
        if (*p != nullptr)
            (void)shmdt(*p);
        *p = nullptr;
    }
    for (int &id : ids_) {
        if (id >= 0)
            (void)shmctl(id, IPC_RMID, nullptr);
        id = -1;
    }
}

} // namespace kvoboard
