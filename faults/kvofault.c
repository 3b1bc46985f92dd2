/*
 * kvofault.c - fault interposer, loaded with LD_PRELOAD into the service.
 *
 * Counts the calls that the service's own code makes to the system and
 * library functions of kvofault.h and fails one of them, or a run of them,
 * with a chosen errno (configuration in kvofault.h).  Calls made from other
 * libraries (the C library's own, the device emulation's preload) are passed
 * through uncounted, so that a call index names a call site of ours and the
 * counts of a scenario do not depend on library internals.
 *
 * The interposer keeps no descriptor open in the process: its files are
 * opened, written and closed per record with raw system calls, so that the
 * descriptor numbers and counts of the service stay as they would be
 * without it.  Failure models follow Linux: close() and fclose() release
 * the descriptor even when they fail (fclose drops the buffered bytes, as a
 * failed flush would); every other call fails without taking effect.
 */
#define _GNU_SOURCE
#include "kvofault.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/select.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);

static const char *const kFnNames[KF_COUNT] = {
#define KVO_FAULT_NAME(n, ...) #n,
    KVO_FAULT_FUNCS(KVO_FAULT_NAME)
#undef KVO_FAULT_NAME
};

enum { MODE_ONCE, MODE_PERSIST, MODE_BURST };
enum { MAX_RANGES = 8, EXEMPT_FDS = 4096 };

static struct {
    int ready;
    int busy; /* re-entry guard while the interposer itself runs */
    uint64_t calls[KF_COUNT]; /* counted calls per function */
    uint64_t injected;        /* failures injected */
    int fn, errnum, mode;
    uint64_t nth, burst;
    int scopeAll;
    const char *callsPath, *tracePath, *exemptPath;
    uintptr_t lo[MAX_RANGES], hi[MAX_RANGES];
    int ranges;
    unsigned char exempt[EXEMPT_FDS];
} g;

/* ---- small helpers that never re-enter the interposed functions ---- */

static void RawAppendLine(const char *path, const char *line)
{
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    int fd = path == NULL ? -1 : (int)syscall(SYS_openat, AT_FDCWD, path, flags, 0644);
    if (fd >= 0) {
        (void)syscall(SYS_write, fd, line, strlen(line));
        (void)syscall(SYS_close, fd);
    }
}

static void FdTarget(int fd, char *out, size_t len)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    long n = syscall(SYS_readlinkat, AT_FDCWD, link, out, len - 1);
    out[n > 0 ? (size_t)n : 0] = '\0';
}

static int ErrnoFromName(const char *s)
{
    static const struct { const char *name; int value; } tbl[] = {
        {"EINTR", EINTR},   {"EAGAIN", EAGAIN}, {"ENXIO", ENXIO},   {"EPIPE", EPIPE},
        {"ENOENT", ENOENT}, {"EBADF", EBADF},   {"ENOMEM", ENOMEM}, {"EIO", EIO},
        {"EINVAL", EINVAL}, {"EMFILE", EMFILE}, {"ENFILE", ENFILE}, {"EACCES", EACCES},
        {"ENOTTY", ENOTTY}, {"EEXIST", EEXIST}, {"ENOSPC", ENOSPC}, {"EPERM", EPERM},
        {"EFAULT", EFAULT}, {"ENODEV", ENODEV}, {"EBUSY", EBUSY},   {"EIDRM", EIDRM},
    };
    for (size_t i = 0; i < sizeof tbl / sizeof tbl[0]; ++i)
        if (strcmp(s, tbl[i].name) == 0)
            return tbl[i].value;
    return atoi(s);
}

static int FnFromName(const char *s)
{
    for (int i = 0; i < KF_COUNT; ++i)
        if (strcmp(s, kFnNames[i]) == 0)
            return i;
    return -1;
}

static int PhdrCallback(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    /* The first object is the main program. */
    for (int i = 0; i < info->dlpi_phnum && g.ranges < MAX_RANGES; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            g.lo[g.ranges] = info->dlpi_addr + ph->p_vaddr;
            g.hi[g.ranges] = g.lo[g.ranges] + ph->p_memsz;
            ++g.ranges;
        }
    }
    return 1;
}

__attribute__((constructor)) static void KvoFaultInit(void)
{
    if (g.ready)
        return;
    g.busy = 1;
    const char *s;
    g.fn = (s = getenv("KVO_FAULT_FN")) != NULL ? FnFromName(s) : -1;
    g.nth = (s = getenv("KVO_FAULT_NTH")) != NULL ? strtoull(s, NULL, 10) : 0;
    g.errnum = (s = getenv("KVO_FAULT_ERRNO")) != NULL ? ErrnoFromName(s) : EIO;
    g.mode = MODE_ONCE;
    if ((s = getenv("KVO_FAULT_MODE")) != NULL) {
        if (strcmp(s, "persist") == 0)
            g.mode = MODE_PERSIST;
        else if (strncmp(s, "burst:", 6) == 0) {
            g.mode = MODE_BURST;
            g.burst = strtoull(s + 6, NULL, 10);
        }
    }
    g.scopeAll = (s = getenv("KVO_FAULT_SCOPE")) != NULL && strcmp(s, "all") == 0;
    g.callsPath = getenv("KVO_FAULT_CALLS");
    g.tracePath = getenv("KVO_FAULT_TRACE");
    g.exemptPath = getenv("KVO_FAULT_EXEMPT");
    dl_iterate_phdr(PhdrCallback, NULL);
    g.ready = 1;
    g.busy = 0;
}

static int FromProgram(void *ret)
{
    if (g.scopeAll)
        return 1;
    uintptr_t a = (uintptr_t)ret;
    for (int i = 0; i < g.ranges; ++i)
        if (a >= g.lo[i] && a < g.hi[i])
            return 1;
    return 0;
}

static int FdExempt(int fd)
{
    return fd >= 0 && (fd <= 2 || (fd < EXEMPT_FDS && g.exempt[fd]));
}

static int PathExempt(const char *path)
{
    return path != NULL && g.exemptPath != NULL && strcmp(path, g.exemptPath) == 0;
}

/* Counts one call and decides whether it fails.  detail names the object
 * (a path, or a descriptor and what it refers to) for the records. */
static int Decide(int fn, void *ret, const char *detail)
{
    if (!g.ready || g.busy || !FromProgram(ret))
        return 0;
    g.busy = 1;
    uint64_t idx = ++g.calls[fn];
    int fail = fn == g.fn && g.nth > 0 && idx >= g.nth &&
               (g.mode == MODE_PERSIST || idx < g.nth + (g.mode == MODE_BURST ? g.burst : 1));
    char line[600];
    if (g.callsPath != NULL) {
        snprintf(line, sizeof line, "%s %llu %s\n", kFnNames[fn], (unsigned long long)idx,
                 detail != NULL ? detail : "-");
        RawAppendLine(g.callsPath, line);
    }
    /* A persistent fault may hit millions of calls: the trace keeps the first. */
    if (fail && ++g.injected <= 20) {
        snprintf(line, sizeof line, "%s %llu %d %s\n", kFnNames[fn], (unsigned long long)idx,
                 g.errnum, detail != NULL ? detail : "-");
        RawAppendLine(g.tracePath, line);
    }
    g.busy = 0;
    return fail;
}

static int DecideFd(int fn, void *ret, int fd)
{
    if (!g.ready || g.busy || FdExempt(fd) || !FromProgram(ret))
        return 0;
    char detail[320], target[256];
    if (g.callsPath != NULL || g.tracePath != NULL) {
        FdTarget(fd, target, sizeof target);
        snprintf(detail, sizeof detail, "fd=%d:%s", fd, target);
    } else {
        detail[0] = '\0';
    }
    return Decide(fn, ret, detail);
}

static int DecidePath(int fn, void *ret, const char *path)
{
    if (PathExempt(path))
        return 0;
    return Decide(fn, ret, path);
}

static void MarkExempt(int fd, const char *path)
{
    if (fd >= 0 && fd < EXEMPT_FDS)
        g.exempt[fd] = (unsigned char)PathExempt(path);
}

/* The next definition of name (the C library's, or another preload's). */
#define REAL(name)                                                            \
    static __typeof__(name) *real_##name;                                     \
    if (real_##name == NULL)                                                  \
        real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

#define CALLER __builtin_return_address(0)
#define FAIL(value)                                                           \
    do {                                                                      \
        errno = g.errnum;                                                     \
        return value;                                                         \
    } while (0)

/* Callers may break the nonnull promise of the stream functions. */
__attribute__((noinline)) static int Given(const void *p)
{
    return p != NULL;
}

/* ---- the wrappers of kvofault.h's list, generated by kind ---- */

#define KF_ON_FD(fn) DecideFd(fn, CALLER, o)
#define KF_ON_PATH(fn) DecidePath(fn, CALLER, o)
#define KF_ON_FILE(fn) (Given(o) && DecideFd(fn, CALLER, fileno(o)))
#define KF_ON_NONE(fn) Decide(fn, CALLER, NULL)
#define KF_WRAP(name, kind, type, params, args, failure)                      \
    type name params                                                          \
    {                                                                         \
        REAL(name);                                                           \
        if (KF_ON_##kind(KF_##name))                                          \
            FAIL(failure);                                                    \
        return real_##name args;                                              \
    }
#define KF_WRAP_FD KF_WRAP
#define KF_WRAP_PATH KF_WRAP
#define KF_WRAP_FILE KF_WRAP
#define KF_WRAP_NONE KF_WRAP
#define KF_WRAP_OWN(...)
#define KF_GENERATE(name, kind, ...) KF_WRAP_##kind(name, kind, __VA_ARGS__)
KVO_FAULT_FUNCS(KF_GENERATE)

/* ---- variadic: the one argument after the request ---- */

#define KF_VARIADIC(sym, fn, type, argtype)                                   \
    int sym(int o, type c, ...)                                               \
    {                                                                         \
        REAL(sym);                                                            \
        va_list ap;                                                           \
        va_start(ap, c);                                                      \
        argtype arg = va_arg(ap, argtype);                                    \
        va_end(ap);                                                           \
        if (DecideFd(fn, CALLER, o))                                          \
            FAIL(-1);                                                         \
        return real_##sym(o, c, arg);                                         \
    }
KF_VARIADIC(fcntl, KF_fcntl, int, long)
KF_VARIADIC(fcntl64, KF_fcntl, int, long)
KF_VARIADIC(ioctl, KF_ioctl, unsigned long, void *)

/* ---- opens: each symbol calls its own next definition, and a
 * descriptor on the exempt path is marked ---- */

enum { OPEN, OPEN64, OPENAT, FOPEN, FOPEN64, OPEN_SYMS };

static void *Next(int k)
{
    static const char *const names[OPEN_SYMS] = {"open", "open64", "openat", "fopen", "fopen64"};
    static void *real[OPEN_SYMS];
    if (real[k] == NULL)
        real[k] = dlsym(RTLD_NEXT, names[k]);
    return real[k];
}

static int OpenCommon(void *ret, int k, int dirfd, const char *path, int flags, mode_t mode)
{
    void *next = Next(k);
    if (DecidePath(k == OPENAT ? KF_openat : KF_open, ret, path))
        FAIL(-1);
    int fd = k == OPENAT ? ((int (*)(int, const char *, int, ...))next)(dirfd, path, flags, mode)
                         : ((int (*)(const char *, int, ...))next)(path, flags, mode);
    MarkExempt(fd, path);
    return fd;
}

#define MODE_ARG(flags)                                                       \
    __extension__({                                                           \
        va_list ap;                                                           \
        va_start(ap, flags);                                                  \
        mode_t m = (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0; \
        va_end(ap);                                                           \
        m;                                                                    \
    })

int open(const char *path, int flags, ...)
{
    return OpenCommon(CALLER, OPEN, 0, path, flags, MODE_ARG(flags));
}

int open64(const char *path, int flags, ...)
{
    return OpenCommon(CALLER, OPEN64, 0, path, flags, MODE_ARG(flags));
}

int __open_2(const char *path, int flags)
{
    return OpenCommon(CALLER, OPEN, 0, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return OpenCommon(CALLER, OPEN64, 0, path, flags, 0);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    return OpenCommon(CALLER, OPENAT, dirfd, path, flags, MODE_ARG(flags));
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    return OpenCommon(CALLER, OPENAT, dirfd, path, flags, MODE_ARG(flags));
}

static FILE *FopenCommon(void *ret, int k, const char *path, const char *mode)
{
    FILE *(*next)(const char *, const char *) = (FILE * (*)(const char *, const char *)) Next(k);
    if (DecidePath(KF_fopen, ret, path))
        FAIL(NULL);
    FILE *f = next(path, mode);
    if (f != NULL)
        MarkExempt(fileno(f), path);
    return f;
}

FILE *fopen(const char *path, const char *mode)
{
    return FopenCommon(CALLER, FOPEN, path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    return FopenCommon(CALLER, FOPEN64, path, mode);
}

/* ---- closes release the descriptor even when they fail ---- */

int close(int fd)
{
    REAL(close);
    int fail = DecideFd(KF_close, CALLER, fd);
    if (fd >= 0 && fd < EXEMPT_FDS)
        g.exempt[fd] = 0;
    int r = real_close(fd);
    if (fail)
        FAIL(-1);
    return r;
}

int fclose(FILE *f)
{
    REAL(fclose);
    int fd = Given(f) ? fileno(f) : -1;
    int fail = Given(f) && DecideFd(KF_fclose, CALLER, fd);
    if (fd >= 0 && fd < EXEMPT_FDS)
        g.exempt[fd] = 0;
    if (fail) {
        __fpurge(f); /* the flush failed: the buffered bytes are lost */
        (void)real_fclose(f);
        FAIL(EOF);
    }
    return real_fclose(f);
}

/* ---- sleeps report the whole time as left; memory fails with ENOMEM ---- */

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    REAL(nanosleep);
    if (Decide(KF_nanosleep, CALLER, NULL)) {
        if (rem != NULL && req != NULL)
            *rem = *req;
        FAIL(-1);
    }
    return real_nanosleep(req, rem);
}

int clock_nanosleep(clockid_t c, int flags, const struct timespec *req, struct timespec *rem)
{
    REAL(clock_nanosleep);
    if (Decide(KF_clock_nanosleep, CALLER, NULL)) {
        if (rem != NULL && req != NULL && flags == 0)
            *rem = *req;
        return g.errnum;
    }
    return real_clock_nanosleep(c, flags, req, rem);
}

void *malloc(size_t size)
{
    if (Decide(KF_malloc, CALLER, NULL)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size)
{
    if (Decide(KF_calloc, CALLER, NULL)) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(n, size);
}
