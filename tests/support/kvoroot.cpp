#include "kvoroot.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

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
    const char *d = mkdtemp(tmpl), *old = std::getenv("KVO_ROOT");
    dir_ = d != nullptr ? d : "/tmp/kvoroot.failed";
    hadRoot_ = old != nullptr;
    savedRoot_ = hadRoot_ ? old : "";
    setenv("KVO_ROOT", dir_.c_str(), 1);
    MakeDirs(dir_ + KvoBasePath(KVO_PATH_FIFO_DIR));
    std::string key = KvoPath(KVO_PATH_SHM_KEY);
    MakeDirs(key.substr(0, key.rfind('/')));
    close(open(key.c_str(), O_WRONLY | O_CREAT, 0644));
}

KvoRoot::~KvoRoot()
{
    hadRoot_ ? setenv("KVO_ROOT", savedRoot_.c_str(), 1) : unsetenv("KVO_ROOT");
    if (dir_.rfind("/tmp/kvoroot.", 0) == 0)
        (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool KvoRoot::MakeAllFifos() const
{
    bool ok = true;
    for (int id = KVO_PATH_FIFO_GDBT; id <= KVO_PATH_FIFO_FTP; ++id)
        ok = MakeFifo(static_cast<KvoPathId>(id)) && ok;
    return ok;
}

std::string HeldFifo::Drain() const
{
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

int HeldFifo::Fill() const
{
    const std::string frame = "999999" + Data("filler");
    int count = 0;
    while (write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size()))
        ++count;
    return count;
}

std::string Data(const std::string &head)
{
    std::string d = head;
    d.resize(FIFO_MSG_DATA_SIZE, ' ');
    return d;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
