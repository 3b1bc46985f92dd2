#include "kvoroot.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void MakeDirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0777);
}

} // namespace

KvoRoot::KvoRoot()
{
    char tmpl[] = "/tmp/kvoroot.XXXXXX";
    const char *d = mkdtemp(tmpl);
    dir_ = d != nullptr ? d : "/tmp/kvoroot.failed";
    const char *old = std::getenv("KVO_ROOT");
    hadRoot_ = old != nullptr;
    if (hadRoot_)
        savedRoot_ = old;
    setenv("KVO_ROOT", dir_.c_str(), 1);
    MakeDirs(dir_ + KvoBasePath(KVO_PATH_FIFO_DIR));
    std::string key = KvoPath(KVO_PATH_SHM_KEY);
    MakeDirs(key.substr(0, key.rfind('/')));
    int fd = open(key.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0)
        close(fd);
}

KvoRoot::~KvoRoot()
{
    if (hadRoot_)
        setenv("KVO_ROOT", savedRoot_.c_str(), 1);
    else
        unsetenv("KVO_ROOT");
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (dir_.rfind("/tmp/kvoroot.", 0) == 0)
        (void)!std::system(cmd.c_str());
}

bool KvoRoot::MakeFifo(KvoPathId id) const
{
    return mkfifo(KvoPath(id), 0666) == 0;
}

bool KvoRoot::MakeAllFifos() const
{
    bool ok = true;
    for (int id = KVO_PATH_FIFO_GDBT; id <= KVO_PATH_FIFO_FTP; ++id)
        ok = MakeFifo(static_cast<KvoPathId>(id)) && ok;
    return ok;
}
