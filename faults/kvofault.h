/*
 * kvofault.h - the interface of the fault interposer libkvofault.so: the
 * functions it counts and can fail, and how it is configured.
 *
 * The interposer is loaded with LD_PRELOAD into one process (the service)
 * and configured by environment variables:
 *   KVO_FAULT_CALLS=PATH    one line per counted call: "name index detail",
 *                           written at the call (a crash loses none)
 *   KVO_FAULT_FN=NAME       the function to fail (a name of the list below)
 *   KVO_FAULT_NTH=N         fail its Nth counted call (1-based) ...
 *   KVO_FAULT_MODE=once|persist|burst:K
 *                           ... only that call, every call from it on, or K
 *                           calls from it on
 *   KVO_FAULT_ERRNO=NAME|N  errno of the failure (EINTR, EAGAIN, ...)
 *   KVO_FAULT_TRACE=PATH    one line per injected failure
 *   KVO_FAULT_EXEMPT=PATH   descriptors opened on PATH (the log file) are
 *                           neither counted nor failed; nor are 0, 1 and 2
 *   KVO_FAULT_SCOPE=exe|all count only calls made from the main program's
 *                           own code (default), or every call
 */
#ifndef KVOFAULT_H
#define KVOFAULT_H

/* X(name, kind, type, (params), (args), failure): every function the
 * interposer counts, in counter order, with the shape of its wrapper.  kind
 * names what a call is made on, for the records and the exemptions: FD the
 * descriptor o, PATH the path o, FILE the stream o, NONE nothing; a failed
 * call sets errno and returns failure.  OWN: a wrapper written out in
 * kvofault.c (variadic, aliased, or failing in its own way). */
#define KVO_FAULT_FUNCS(X)                                                                        \
    X(open, OWN)                                                                                  \
    X(openat, OWN)                                                                                \
    X(read, FD, ssize_t, (int o, void *b, size_t n), (o, b, n), -1)                               \
    X(write, FD, ssize_t, (int o, const void *b, size_t n), (o, b, n), -1)                        \
    X(close, OWN)                                                                                 \
    X(pselect, NONE, int, (int n, fd_set *r, fd_set *w, fd_set *e, const struct timespec *t,      \
                           const sigset_t *m), (n, r, w, e, t, m), -1)                            \
    X(select, NONE, int, (int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t),             \
      (n, r, w, e, t), -1)                                                                        \
    X(poll, NONE, int, (struct pollfd *f, nfds_t n, int t), (f, n, t), -1)                        \
    X(ppoll, NONE, int, (struct pollfd *f, nfds_t n, const struct timespec *t, const sigset_t *m),\
      (f, n, t, m), -1)                                                                           \
    X(ioctl, OWN)                                                                                 \
    X(fcntl, OWN)                                                                                 \
    X(mkfifo, PATH, int, (const char *o, mode_t m), (o, m), -1)                                   \
    X(shmget, NONE, int, (key_t k, size_t n, int f), (k, n, f), -1)                               \
    X(shmat, NONE, void *, (int i, const void *a, int f), (i, a, f), (void *)-1)                  \
    X(shmdt, NONE, int, (const void *a), (a), -1)                                                 \
    X(shmctl, NONE, int, (int i, int c, struct shmid_ds *b), (i, c, b), -1)                       \
    X(ftok, PATH, key_t, (const char *o, int p), (o, p), -1)                                      \
    X(timer_create, NONE, int, (clockid_t c, struct sigevent *e, timer_t *t), (c, e, t), -1)      \
    X(timer_settime, NONE, int, (timer_t t, int f, const struct itimerspec *v,                    \
                                 struct itimerspec *old), (t, f, v, old), -1)                     \
    X(timer_gettime, NONE, int, (timer_t t, struct itimerspec *v), (t, v), -1)                    \
    X(timer_delete, NONE, int, (timer_t t), (t), -1)                                              \
    X(pipe, NONE, int, (int f[2]), (f), -1)                                                       \
    X(pipe2, NONE, int, (int f[2], int fl), (f, fl), -1)                                          \
    X(sigaction, NONE, int, (int s, const struct sigaction *a, struct sigaction *old),            \
      (s, a, old), -1)                                                                            \
    X(sigprocmask, NONE, int, (int h, const sigset_t *s, sigset_t *old), (h, s, old), -1)         \
    X(fopen, OWN)                                                                                 \
    X(fwrite, FILE, size_t, (const void *p, size_t s, size_t n, FILE *o), (p, s, n, o), 0)        \
    X(fflush, FILE, int, (FILE *o), (o), EOF)                                                     \
    X(fclose, OWN)                                                                                \
    X(nanosleep, OWN)                                                                             \
    X(usleep, NONE, int, (useconds_t u), (u), -1)                                                 \
    X(clock_nanosleep, OWN)                                                                       \
    X(malloc, OWN)                                                                                \
    X(calloc, OWN)                                                                                \
    X(stat, PATH, int, (const char *o, struct stat *s), (o, s), -1)                               \
    X(fstat, FD, int, (int o, struct stat *s), (o, s), -1)                                        \
    X(lstat, PATH, int, (const char *o, struct stat *s), (o, s), -1)                              \
    X(unlink, PATH, int, (const char *o), (o), -1)                                                \
    X(dup, FD, int, (int o), (o), -1)                                                             \
    X(dup2, FD, int, (int o, int to), (o, to), -1)                                                \
    X(kill, NONE, int, (pid_t p, int s), (p, s), -1)

enum KvoFaultFn {
#define KVO_FAULT_ENUM(n, ...) KF_##n,
    KVO_FAULT_FUNCS(KVO_FAULT_ENUM)
#undef KVO_FAULT_ENUM
    KF_COUNT
};

#endif /* KVOFAULT_H */
