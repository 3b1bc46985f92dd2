// fifocheck.cpp - looking at a FIFO from outside: stat for what is at the
// path, a non-blocking open for writing for whether anyone reads it (ENXIO
// when nobody does), and the pipe's fill level for whether a frame fits.
#include "fifocheck.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kvomessaging.h"

namespace {

std::string Folder(const std::string &path)
{
    std::string copy = path;
    return dirname(&copy[0]);
}

// Whether fewer than one frame's bytes are free in the pipe behind fd.
bool Full(int fd, int *queued)
{
    int size = fcntl(fd, F_GETPIPE_SZ);
    return size > 0 && ioctl(fd, FIONREAD, queued) == 0 && size - *queued < FIFO_MSG_SIZE;
}

} // namespace

std::string FifoPathProblem(const std::string &name, const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        int err = errno;
        if (err == ENOENT && stat(Folder(path).c_str(), &st) != 0)
            return "the FIFO folder " + Folder(path) + " does not exist (is KVO_ROOT right?)";
        if (err == ENOENT)
            return name + " does not exist (" + path + ")";
        return path + ": " + std::strerror(err);
    }
    if (!S_ISFIFO(st.st_mode))
        return path + " is not a FIFO";
    return "";
}

std::string FifoWriteProblem(const std::string &name, const std::string &path)
{
    std::string problem = FifoPathProblem(name, path);
    if (!problem.empty())
        return problem;
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENXIO)
            return "nobody reads " + name + " (" + path + ")";
        if (err == EACCES)
            return "no permission to write " + name + " (" + path + ")";
        return path + ": " + std::strerror(err);
    }
    int queued = 0;
    if (Full(fd, &queued))
        problem = name + " is full: " + std::to_string(queued) +
                  " bytes wait for a reader that does not keep up (" + path + ")";
    close(fd);
    return problem;
}
