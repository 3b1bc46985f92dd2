// root.cpp - making and removing the private controller root.
#include "board/root.h"

#include "kvomessaging.h"
#include "kvoruntime.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvoboard {

namespace {

constexpr int kKeyFileAttempts = 50;

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

bool KeyFree(key_t key)
{
    return key != -1 && shmget(key, 0, 0) == -1 && errno == ENOENT;
}

std::string Why(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

bool BoardRoot::Create(const std::string &tmpl, const std::string &dir, std::string *error)
{
    if (dir.empty()) {
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            *error = Why("mkdtemp");
            return false;
        }
        dir_ = name.data();
        ownDir_ = true;
        // Readable by a service started under another user.
        chmod(dir_.c_str(), 0755);
    } else {
        // A folder made here goes at Remove like a fresh one; one that
        // was there before stays.
        struct stat st;
        dir_ = dir;
        ownDir_ = stat(dir.c_str(), &st) != 0 && errno == ENOENT;
    }
    std::string key = Path(KVO_PATH_SHM_KEY);
    if (!MakeDirs(Path(KVO_PATH_FIFO_DIR)) || !MakeDirs(key.substr(0, key.rfind('/')))) {
        *error = Why("folders under " + dir_);
        return false;
    }
    return MakeKeyFile(error);
}

// ftok keeps only part of the key file's inode number, so the key file of
// another root (a test or simulation running beside this one) can give the
// same keys.  A key file whose keys are taken is set aside, still holding
// its inode, so that the next one gets another.
bool BoardRoot::MakeKeyFile(std::string *error)
{
    std::string key = Path(KVO_PATH_SHM_KEY);
    for (int attempt = 0; attempt < kKeyFileAttempts; ++attempt) {
        int fd = open(key.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = Why(key);
            return false;
        }
        close(fd);
        if (KeyFree(Key('c')) && KeyFree(Key('o')))
            return true;
        std::string aside = key + ".taken" + std::to_string(attempt);
        if (rename(key.c_str(), aside.c_str()) != 0) {
            *error = Why("key file not renewed");
            return false;
        }
    }
    *error = "no free shared-memory keys for " + key;
    return false;
}

key_t BoardRoot::Key(int projId) const
{
    return ftok(Path(KVO_PATH_SHM_KEY).c_str(), projId);
}

void BoardRoot::Export()
{
    if (!exported_) {
        const char *old = std::getenv("KVO_ROOT");
        hadRoot_ = old != nullptr;
        savedRoot_ = old != nullptr ? old : "";
        exported_ = true;
    }
    setenv("KVO_ROOT", dir_.c_str(), 1);
}

bool BoardRoot::MakeFifo(KvoPathId id, std::string *error) const
{
    std::string path = Path(id);
    if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) {
        *error = Why("mkfifo " + path);
        return false;
    }
    return true;
}

bool BoardRoot::MakeFifosWithRuntime(std::string *error) const
{
    ProcInfo info;
    std::memset(&info, 0, sizeof info);
    for (int id = KVO_PATH_FIFO_GDBT; id <= KVO_PATH_FIFO_FTP; ++id) {
        const char *path = KvoPath(static_cast<KvoPathId>(id));
        if (path != Path(static_cast<KvoPathId>(id)) || ComFifoCreateOpen(&info, path, 0) != 0) {
            *error = std::string("FIFO not created: ") + path + " (" + std::strerror(info.iErrno) + ")";
            return false;
        }
    }
    return true;
}

bool BoardRoot::MakeFifos(std::string *error) const
{
    for (int id = KVO_PATH_FIFO_GDBT; id <= KVO_PATH_FIFO_FTP; ++id)
        if (!MakeFifo(static_cast<KvoPathId>(id), error))
            return false;
    return true;
}

void BoardRoot::Remove()
{
    if (exported_) {
        if (hadRoot_)
            setenv("KVO_ROOT", savedRoot_.c_str(), 1);
        else
            unsetenv("KVO_ROOT");
        exported_ = false;
    }
    if (ownDir_ && !keep_ && !dir_.empty())
        (void)nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    ownDir_ = false;
}

} // namespace kvoboard
