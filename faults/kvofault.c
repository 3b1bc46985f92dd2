/* kvofault.c - fault interposer, preloaded into the service.  Counts the calls the service's
 * own code makes to OWN and FUNCS (other libraries' pass uncounted: an index names a call site
 * of ours) and fails the KVO_FAULT_NTH call (1-based) to KVO_FAULT_FN with KVO_FAULT_ERRNO (EIO),
 * once or, with KVO_FAULT_MODE=persist, from there on.  KVO_FAULT_CALLS=PATH gets "name index
 * detail" per counted call, KVO_FAULT_TRACE=PATH per injected failure (the first 20); 0 to 2 and
 * descriptors on KVO_FAULT_EXEMPT=PATH (the log) are neither.  Records go by raw system calls;
 * close() releases the descriptor even when it fails, as on Linux; other failed calls do nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define OWN(X) X(open) X(close) X(ioctl) X(calloc) /* written out below */
/* X(name, kind, type, (params), (args), failure): generated wrappers; kind is what the call is
 * made on, for the records and exemptions: FD the descriptor o, PATH the path o, NONE nothing. */
#define FUNCS(X)                                                                                  \
    X(read, FD, ssize_t, (int o, void *b, size_t n), (o, b, n), -1)                               \
    X(write, FD, ssize_t, (int o, const void *b, size_t n), (o, b, n), -1)                        \
    X(fstat, FD, int, (int o, struct stat *s), (o, s), -1)                                        \
    X(ftok, PATH, key_t, (const char *o, int p), (o, p), -1)                                      \
    X(pselect, NONE, int, (int n, fd_set *r, fd_set *w, fd_set *e, const struct timespec *t,      \
                           const sigset_t *m), (n, r, w, e, t, m), -1)                            \
    X(shmget, NONE, int, (key_t k, size_t n, int f), (k, n, f), -1)                               \
    X(shmat, NONE, void *, (int i, const void *a, int f), (i, a, f), (void *)-1)                  \
    X(shmdt, NONE, int, (const void *a), (a), -1)                                                 \
    X(timer_create, NONE, int, (clockid_t c, struct sigevent *e, timer_t *t), (c, e, t), -1)      \
    X(timer_settime, NONE, int, (timer_t t, int f, const struct itimerspec *v,                    \
                                 struct itimerspec *old), (t, f, v, old), -1)                     \
    X(timer_delete, NONE, int, (timer_t t), (t), -1)                                              \
    X(pipe2, NONE, int, (int f[2], int fl), (f, fl), -1)                                          \
    X(sigaction, NONE, int, (int s, const struct sigaction *a, struct sigaction *old),            \
      (s, a, old), -1)                                                                            \
    X(sigprocmask, NONE, int, (int h, const sigset_t *s, sigset_t *old), (h, s, old), -1)

#define ENUM(n, ...) KF_##n,
#define NAME(n, ...) #n,
enum { OWN(ENUM) FUNCS(ENUM) KF_COUNT, MAX_RANGES = 8, EXEMPT_FDS = 4096 };
static const char *const kNames[KF_COUNT] = {OWN(NAME) FUNCS(NAME)};

extern void *__libc_calloc(size_t n, size_t size);

static struct {
    int ready, busy; /* busy: the interposer itself runs */
    unsigned long long calls[KF_COUNT], nth, injected;
    int fn, errnum, persist;
    const char *callsPath, *tracePath, *exemptPath;
    uintptr_t lo[MAX_RANGES], hi[MAX_RANGES]; /* the main program's code */
    int ranges;
    unsigned char exempt[EXEMPT_FDS];
} g;

static void AppendLine(const char *path, const char *line)
{
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    int fd = path == NULL ? -1 : (int)syscall(SYS_openat, AT_FDCWD, path, flags, 0644);
    if (fd >= 0) {
        (void)syscall(SYS_write, fd, line, strlen(line));
        (void)syscall(SYS_close, fd);
    }
}

/* The first object dl_iterate_phdr reports is the main program. */
static int MainProgram(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    for (int i = 0; i < info->dlpi_phnum && g.ranges < MAX_RANGES; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            g.lo[g.ranges] = info->dlpi_addr + ph->p_vaddr;
            g.hi[g.ranges++] = info->dlpi_addr + ph->p_vaddr + ph->p_memsz;
        }
    }
    return 1;
}

__attribute__((constructor)) static void Init(void)
{
    const char *s = getenv("KVO_FAULT_FN");
    g.fn = -1;
    for (int i = 0; s != NULL && i < KF_COUNT; ++i)
        g.fn = strcmp(s, kNames[i]) == 0 ? i : g.fn;
    g.nth = (s = getenv("KVO_FAULT_NTH")) != NULL ? strtoull(s, NULL, 10) : 0;
    g.errnum = (s = getenv("KVO_FAULT_ERRNO")) != NULL ? atoi(s) : EIO;
    g.persist = (s = getenv("KVO_FAULT_MODE")) != NULL && strcmp(s, "persist") == 0;
    g.callsPath = getenv("KVO_FAULT_CALLS");
    g.tracePath = getenv("KVO_FAULT_TRACE");
    g.exemptPath = getenv("KVO_FAULT_EXEMPT");
    dl_iterate_phdr(MainProgram, NULL);
    g.ready = 1;
}

static int Counted(void *caller)
{
    for (int i = 0; g.ready && !g.busy && i < g.ranges; ++i)
        if ((uintptr_t)caller >= g.lo[i] && (uintptr_t)caller < g.hi[i])
            return 1;
    return 0;
}

/* Counts one call and decides whether it fails; detail names its object for the records. */
static int Decide(int fn, void *caller, const char *detail)
{
    if (!Counted(caller))
        return 0;
    g.busy = 1;
    unsigned long long idx = ++g.calls[fn];
    int fail = fn == g.fn && g.nth > 0 && (idx == g.nth || (g.persist && idx > g.nth));
    char line[600];
    snprintf(line, sizeof line, "%s %llu %s\n", kNames[fn], idx, detail != NULL ? detail : "-");
    AppendLine(g.callsPath, line);
    if (fail && ++g.injected <= 20)
        AppendLine(g.tracePath, line);
    g.busy = 0;
    return fail;
}

static int DecideFd(int fn, void *caller, int fd)
{
    if (fd >= 0 && (fd <= 2 || (fd < EXEMPT_FDS && g.exempt[fd])))
        return 0;
    char link[64], target[256] = "", detail[320];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    long n = Counted(caller) ? syscall(SYS_readlinkat, AT_FDCWD, link, target, sizeof target - 1) : 0;
    target[n > 0 ? n : 0] = '\0';
    snprintf(detail, sizeof detail, "fd=%d:%s", fd, target);
    return Decide(fn, caller, detail);
}

static int IsExempt(const char *path)
{
    return path != NULL && g.exemptPath != NULL && strcmp(path, g.exemptPath) == 0;
}

/* The next definition of name: the C library's, or another preload's. */
#define REAL(name)                                                            \
    static __typeof__(name) *real_##name;                                     \
    if (real_##name == NULL)                                                  \
        real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)
#define CALLER __builtin_return_address(0)
#define FAIL(value) return (errno = g.errnum, value)

#define ON_FD(fn) DecideFd(fn, CALLER, o)
#define ON_PATH(fn) (!IsExempt(o) && Decide(fn, CALLER, o))
#define ON_NONE(fn) Decide(fn, CALLER, NULL)
#define WRAP(name, kind, type, params, args, failure)                         \
    type name params                                                          \
    {                                                                         \
        REAL(name);                                                           \
        if (ON_##kind(KF_##name))                                             \
            FAIL(failure);                                                    \
        return real_##name args;                                              \
    }
FUNCS(WRAP)

/* open: a mode only with O_CREAT or O_TMPFILE; a descriptor on the exempt path is marked. */
int open(const char *o, int flags, ...)
{
    REAL(open);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    if (ON_PATH(KF_open))
        FAIL(-1);
    int fd = real_open(o, flags, mode);
    if (fd >= 0 && fd < EXEMPT_FDS)
        g.exempt[fd] = (unsigned char)IsExempt(o);
    return fd;
}

int close(int o)
{
    REAL(close);
    int fail = ON_FD(KF_close);
    if (o >= 0 && o < EXEMPT_FDS)
        g.exempt[o] = 0;
    int r = real_close(o);
    return fail ? (errno = g.errnum, -1) : r;
}

int ioctl(int o, unsigned long request, ...)
{
    REAL(ioctl);
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (ON_FD(KF_ioctl))
        FAIL(-1);
    return real_ioctl(o, request, arg);
}

/* dlsym itself allocates: the C library's calloc is called by its own name. */
void *calloc(size_t n, size_t size)
{
    if (Decide(KF_calloc, CALLER, NULL))
        return (errno = ENOMEM, NULL);
    return __libc_calloc(n, size);
}
