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
#include <sys/mman.h>
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
#define KVO_FAULT_NAME(n) #n,
    KVO_FAULT_FUNCS(KVO_FAULT_NAME)
#undef KVO_FAULT_NAME
};

enum { MODE_ONCE, MODE_PERSIST, MODE_BURST };
enum { MAX_RANGES = 8, EXEMPT_FDS = 4096 };

static struct {
    int ready;
    int busy; /* re-entry guard while the interposer itself runs */
    struct KvoFaultCounts *counts;
    struct KvoFaultCounts local; /* when no counter file is given */
    int fn, errnum, mode;
    uint64_t nth, burst;
    int scopeAll;
    const char *callsPath, *tracePath, *exemptPath;
    uintptr_t lo[MAX_RANGES], hi[MAX_RANGES];
    int ranges;
    unsigned char exempt[EXEMPT_FDS];
} g;

/* ---- small helpers that never re-enter the interposed functions ---- */

static int RawOpenAppend(const char *path)
{
    return (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

static void RawAppendLine(const char *path, const char *line)
{
    if (path == NULL)
        return;
    int fd = RawOpenAppend(path);
    if (fd < 0)
        return;
    (void)syscall(SYS_write, fd, line, strlen(line));
    (void)syscall(SYS_close, fd);
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

static struct KvoFaultCounts *MapCounts(const char *path)
{
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return NULL;
    if (syscall(SYS_ftruncate, fd, (long)sizeof(struct KvoFaultCounts)) != 0) {
        (void)syscall(SYS_close, fd);
        return NULL;
    }
    void *p = mmap(NULL, sizeof(struct KvoFaultCounts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    (void)syscall(SYS_close, fd);
    return p == MAP_FAILED ? NULL : (struct KvoFaultCounts *)p;
}

__attribute__((constructor)) static void KvoFaultInit(void)
{
    if (g.ready)
        return;
    g.busy = 1;
    const char *s;
    g.counts = &g.local;
    if ((s = getenv("KVO_FAULT_COUNTS")) != NULL && *s) {
        struct KvoFaultCounts *c = MapCounts(s);
        if (c != NULL) {
            memset(c, 0, sizeof *c);
            c->magic = KVO_FAULT_MAGIC;
            g.counts = c;
        }
    }
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
    uint64_t idx = __atomic_add_fetch(&g.counts->calls[fn], 1, __ATOMIC_SEQ_CST);
    int fail = fn == g.fn && g.nth > 0 && idx >= g.nth &&
               (g.mode == MODE_PERSIST || idx < g.nth + (g.mode == MODE_BURST ? g.burst : 1));
    char line[600];
    if (g.callsPath != NULL) {
        snprintf(line, sizeof line, "%s %llu %s\n", kFnNames[fn], (unsigned long long)idx,
                 detail != NULL ? detail : "-");
        RawAppendLine(g.callsPath, line);
    }
    /* A persistent fault may hit millions of calls: the trace keeps the first. */
    if (fail && __atomic_add_fetch(&g.counts->injected, 1, __ATOMIC_SEQ_CST) <= 20) {
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
#define REAL(name, type)                                                      \
    static __typeof__(name) *real_##name;                                     \
    if (real_##name == NULL)                                                  \
        real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

#define CALLER __builtin_return_address(0)

/* ---- files and descriptors ---- */

static int OpenCommon(void *ret, const char *sym, const char *path, int flags, mode_t mode)
{
    typedef int (*fn_t)(const char *, int, ...);
    static fn_t real[4];
    static const char *const names[4] = {"open", "open64", "__open_2", "__open64_2"};
    int k = 0;
    while (k < 3 && strcmp(sym, names[k]) != 0)
        ++k;
    if (real[k] == NULL)
        real[k] = (fn_t)dlsym(RTLD_NEXT, names[k]);
    if (DecidePath(KF_open, ret, path)) {
        errno = g.errnum;
        return -1;
    }
    int fd = real[k](path, flags, mode);
    MarkExempt(fd, path);
    return fd;
}

static mode_t ModeArg(int flags, va_list ap)
{
    return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t m = ModeArg(flags, ap);
    va_end(ap);
    return OpenCommon(CALLER, "open", path, flags, m);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t m = ModeArg(flags, ap);
    va_end(ap);
    return OpenCommon(CALLER, "open64", path, flags, m);
}

int __open_2(const char *path, int flags)
{
    return OpenCommon(CALLER, "open", path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return OpenCommon(CALLER, "open64", path, flags, 0);
}

static int OpenatCommon(void *ret, int dirfd, const char *path, int flags, mode_t mode)
{
    REAL(openat, int (*)(int, const char *, int, ...));
    if (DecidePath(KF_openat, ret, path)) {
        errno = g.errnum;
        return -1;
    }
    int fd = real_openat(dirfd, path, flags, mode);
    MarkExempt(fd, path);
    return fd;
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t m = ModeArg(flags, ap);
    va_end(ap);
    return OpenatCommon(CALLER, dirfd, path, flags, m);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t m = ModeArg(flags, ap);
    va_end(ap);
    return OpenatCommon(CALLER, dirfd, path, flags, m);
}

ssize_t read(int fd, void *buf, size_t n)
{
    REAL(read, ssize_t (*)(int, void *, size_t));
    if (DecideFd(KF_read, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_read(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    REAL(write, ssize_t (*)(int, const void *, size_t));
    if (DecideFd(KF_write, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_write(fd, buf, n);
}

int close(int fd)
{
    REAL(close, int (*)(int));
    int fail = DecideFd(KF_close, CALLER, fd);
    if (fd >= 0 && fd < EXEMPT_FDS)
        g.exempt[fd] = 0;
    int r = real_close(fd);
    if (fail) {
        errno = g.errnum;
        return -1;
    }
    return r;
}

int fcntl(int fd, int cmd, ...)
{
    REAL(fcntl, int (*)(int, int, ...));
    va_list ap;
    va_start(ap, cmd);
    long arg = va_arg(ap, long);
    va_end(ap);
    if (DecideFd(KF_fcntl, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_fcntl(fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...)
{
    REAL(fcntl64, int (*)(int, int, ...));
    va_list ap;
    va_start(ap, cmd);
    long arg = va_arg(ap, long);
    va_end(ap);
    if (DecideFd(KF_fcntl, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_fcntl64(fd, cmd, arg);
}

int ioctl(int fd, unsigned long req, ...)
{
    REAL(ioctl, int (*)(int, unsigned long, ...));
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (DecideFd(KF_ioctl, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_ioctl(fd, req, arg);
}

int mkfifo(const char *path, mode_t mode)
{
    REAL(mkfifo, int (*)(const char *, mode_t));
    if (DecidePath(KF_mkfifo, CALLER, path)) {
        errno = g.errnum;
        return -1;
    }
    return real_mkfifo(path, mode);
}

int pipe(int fds[2])
{
    REAL(pipe, int (*)(int[2]));
    if (Decide(KF_pipe, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_pipe(fds);
}

int pipe2(int fds[2], int flags)
{
    REAL(pipe2, int (*)(int[2], int));
    if (Decide(KF_pipe2, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_pipe2(fds, flags);
}

int dup(int fd)
{
    REAL(dup, int (*)(int));
    if (DecideFd(KF_dup, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_dup(fd);
}

int dup2(int fd, int fd2)
{
    REAL(dup2, int (*)(int, int));
    if (DecideFd(KF_dup2, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_dup2(fd, fd2);
}

int stat(const char *path, struct stat *st)
{
    REAL(stat, int (*)(const char *, struct stat *));
    if (DecidePath(KF_stat, CALLER, path)) {
        errno = g.errnum;
        return -1;
    }
    return real_stat(path, st);
}

int lstat(const char *path, struct stat *st)
{
    REAL(lstat, int (*)(const char *, struct stat *));
    if (DecidePath(KF_lstat, CALLER, path)) {
        errno = g.errnum;
        return -1;
    }
    return real_lstat(path, st);
}

int fstat(int fd, struct stat *st)
{
    REAL(fstat, int (*)(int, struct stat *));
    if (DecideFd(KF_fstat, CALLER, fd)) {
        errno = g.errnum;
        return -1;
    }
    return real_fstat(fd, st);
}

int unlink(const char *path)
{
    REAL(unlink, int (*)(const char *));
    if (DecidePath(KF_unlink, CALLER, path)) {
        errno = g.errnum;
        return -1;
    }
    return real_unlink(path);
}

/* ---- waiting ---- */

int pselect(int n, fd_set *r, fd_set *w, fd_set *e, const struct timespec *t, const sigset_t *m)
{
    REAL(pselect, int (*)(int, fd_set *, fd_set *, fd_set *, const struct timespec *,
                          const sigset_t *));
    if (Decide(KF_pselect, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_pselect(n, r, w, e, t, m);
}

int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t)
{
    REAL(select, int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *));
    if (Decide(KF_select, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_select(n, r, w, e, t);
}

int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    REAL(poll, int (*)(struct pollfd *, nfds_t, int));
    if (Decide(KF_poll, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_poll(fds, n, timeout);
}

int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *t, const sigset_t *m)
{
    REAL(ppoll, int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *));
    if (Decide(KF_ppoll, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_ppoll(fds, n, t, m);
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    REAL(nanosleep, int (*)(const struct timespec *, struct timespec *));
    if (Decide(KF_nanosleep, CALLER, NULL)) {
        if (rem != NULL && req != NULL)
            *rem = *req;
        errno = g.errnum;
        return -1;
    }
    return real_nanosleep(req, rem);
}

int usleep(useconds_t us)
{
    REAL(usleep, int (*)(useconds_t));
    if (Decide(KF_usleep, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_usleep(us);
}

int clock_nanosleep(clockid_t c, int flags, const struct timespec *req, struct timespec *rem)
{
    REAL(clock_nanosleep, int (*)(clockid_t, int, const struct timespec *, struct timespec *));
    if (Decide(KF_clock_nanosleep, CALLER, NULL)) {
        if (rem != NULL && req != NULL && flags == 0)
            *rem = *req;
        return g.errnum;
    }
    return real_clock_nanosleep(c, flags, req, rem);
}

/* ---- shared memory ---- */

int shmget(key_t key, size_t size, int flags)
{
    REAL(shmget, int (*)(key_t, size_t, int));
    if (Decide(KF_shmget, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_shmget(key, size, flags);
}

void *shmat(int id, const void *addr, int flags)
{
    REAL(shmat, void *(*)(int, const void *, int));
    if (Decide(KF_shmat, CALLER, NULL)) {
        errno = g.errnum;
        return (void *)-1;
    }
    return real_shmat(id, addr, flags);
}

int shmdt(const void *addr)
{
    REAL(shmdt, int (*)(const void *));
    if (Decide(KF_shmdt, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_shmdt(addr);
}

int shmctl(int id, int cmd, struct shmid_ds *buf)
{
    REAL(shmctl, int (*)(int, int, struct shmid_ds *));
    if (Decide(KF_shmctl, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_shmctl(id, cmd, buf);
}

key_t ftok(const char *path, int proj)
{
    REAL(ftok, key_t (*)(const char *, int));
    if (DecidePath(KF_ftok, CALLER, path)) {
        errno = g.errnum;
        return -1;
    }
    return real_ftok(path, proj);
}

/* ---- timers and signals ---- */

int timer_create(clockid_t c, struct sigevent *ev, timer_t *id)
{
    REAL(timer_create, int (*)(clockid_t, struct sigevent *, timer_t *));
    if (Decide(KF_timer_create, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_timer_create(c, ev, id);
}

int timer_settime(timer_t id, int flags, const struct itimerspec *v, struct itimerspec *o)
{
    REAL(timer_settime, int (*)(timer_t, int, const struct itimerspec *, struct itimerspec *));
    if (Decide(KF_timer_settime, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_timer_settime(id, flags, v, o);
}

int timer_gettime(timer_t id, struct itimerspec *v)
{
    REAL(timer_gettime, int (*)(timer_t, struct itimerspec *));
    if (Decide(KF_timer_gettime, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_timer_gettime(id, v);
}

int timer_delete(timer_t id)
{
    REAL(timer_delete, int (*)(timer_t));
    if (Decide(KF_timer_delete, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_timer_delete(id);
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    REAL(sigaction, int (*)(int, const struct sigaction *, struct sigaction *));
    if (Decide(KF_sigaction, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_sigaction(sig, act, old);
}

int sigprocmask(int how, const sigset_t *s, sigset_t *old)
{
    REAL(sigprocmask, int (*)(int, const sigset_t *, sigset_t *));
    if (Decide(KF_sigprocmask, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_sigprocmask(how, s, old);
}

int kill(pid_t pid, int sig)
{
    REAL(kill, int (*)(pid_t, int));
    if (Decide(KF_kill, CALLER, NULL)) {
        errno = g.errnum;
        return -1;
    }
    return real_kill(pid, sig);
}

/* ---- streams ---- */

/* Callers may break the nonnull promise of the stream functions. */
__attribute__((noinline)) static int Given(const void *p)
{
    return p != NULL;
}

static FILE *FopenCommon(void *ret, const char *sym, const char *path, const char *mode)
{
    typedef FILE *(*fn_t)(const char *, const char *);
    static fn_t real[2];
    int k = strcmp(sym, "fopen") == 0 ? 0 : 1;
    if (real[k] == NULL)
        real[k] = (fn_t)dlsym(RTLD_NEXT, sym);
    if (DecidePath(KF_fopen, ret, path)) {
        errno = g.errnum;
        return NULL;
    }
    FILE *f = real[k](path, mode);
    if (f != NULL)
        MarkExempt(fileno(f), path);
    return f;
}

FILE *fopen(const char *path, const char *mode)
{
    return FopenCommon(CALLER, "fopen", path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    return FopenCommon(CALLER, "fopen64", path, mode);
}

size_t fwrite(const void *p, size_t size, size_t n, FILE *f)
{
    REAL(fwrite, size_t (*)(const void *, size_t, size_t, FILE *));
    if (Given(f) && DecideFd(KF_fwrite, CALLER, fileno(f))) {
        errno = g.errnum;
        return 0;
    }
    return real_fwrite(p, size, n, f);
}

int fflush(FILE *f)
{
    REAL(fflush, int (*)(FILE *));
    if (Given(f) && DecideFd(KF_fflush, CALLER, fileno(f))) {
        errno = g.errnum;
        return EOF;
    }
    return real_fflush(f);
}

int fclose(FILE *f)
{
    REAL(fclose, int (*)(FILE *));
    int fd = Given(f) ? fileno(f) : -1;
    int fail = Given(f) && DecideFd(KF_fclose, CALLER, fd);
    if (fd >= 0 && fd < EXEMPT_FDS)
        g.exempt[fd] = 0;
    if (fail) {
        __fpurge(f); /* the flush failed: the buffered bytes are lost */
        (void)real_fclose(f);
        errno = g.errnum;
        return EOF;
    }
    return real_fclose(f);
}

/* ---- memory ---- */

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
