// crkeyfault.cpp - preloaded ahead of the device emulation in the children
// it starts, for what the emulation cannot see from its socket: while the
// emulation's folder ($UMOCKDEV_DIR) holds the file "cr_key.open-errno" with
// a nonzero errno, opening the guard-button device fails with it; and each
// successful open appends one byte to "cr_key.opens", so the count is exact
// by the time open returns (the emulation hears of the open only later).
#undef _FORTIFY_SOURCE
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>

namespace {

constexpr const char kDevice[] = "/dev/cr_key";

bool IsDevice(const char *path)
{
    return path != nullptr && std::strcmp(path, kDevice) == 0;
}

std::string EmuFile(const char *name)
{
    const char *dir = std::getenv("UMOCKDEV_DIR");
    return dir != nullptr ? std::string(dir) + "/" + name : std::string();
}

// errno to fail the open with, or 0 to let it through.
int OpenFault(const char *path)
{
    if (!IsDevice(path))
        return 0;
    std::string file = EmuFile("cr_key.open-errno");
    if (file.empty())
        return 0;
    int saved = errno;
    int err = 0;
    if (FILE *f = std::fopen(file.c_str(), "re")) {
        if (std::fscanf(f, "%d", &err) != 1)
            err = 0;
        std::fclose(f);
    }
    errno = saved;
    return err;
}

template <typename Fn> Fn Next(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

mode_t ModeArg(int flags, va_list ap)
{
    bool needsMode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return needsMode ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
}

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);

// Passes an open's result through, counting it when it opened the device.
int Opened(const char *path, int fd)
{
    if (fd < 0 || !IsDevice(path))
        return fd;
    std::string file = EmuFile("cr_key.opens");
    if (file.empty())
        return fd;
    int saved = errno;
    if (FILE *f = std::fopen(file.c_str(), "ae")) {
        std::fputc('o', f);
        std::fclose(f);
    }
    errno = saved;
    return fd;
}

int Fail(int err)
{
    errno = err;
    return -1;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    if (int err = OpenFault(path))
        return Fail(err);
    static OpenFn next = Next<OpenFn>("open");
    return Opened(path, next(path, flags, mode));
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    if (int err = OpenFault(path))
        return Fail(err);
    static OpenFn next = Next<OpenFn>("open64");
    return Opened(path, next(path, flags, mode));
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    if (int err = OpenFault(path))
        return Fail(err);
    static OpenAtFn next = Next<OpenAtFn>("openat");
    return Opened(path, next(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    if (int err = OpenFault(path))
        return Fail(err);
    static OpenAtFn next = Next<OpenAtFn>("openat64");
    return Opened(path, next(dirfd, path, flags, mode));
}

} // extern "C"
