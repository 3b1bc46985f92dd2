/*
 * kvofault.h - the interface of the fault interposer libkvofault.so: the
 * functions it counts and can fail, and the layout of its counter file.
 *
 * The interposer is loaded with LD_PRELOAD into one process (the service)
 * and configured by environment variables:
 *   KVO_FAULT_COUNTS=PATH   counter file (struct KvoFaultCounts), created
 *                           and updated on every counted call, so that the
 *                           counts survive a crash of the process
 *   KVO_FAULT_CALLS=PATH    one line per counted call: "name index detail"
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

#include <stdint.h>

/* X(name): every function the interposer counts, in counter order. */
#define KVO_FAULT_FUNCS(X)                                                                \
    X(open) X(openat) X(read) X(write) X(close) X(pselect) X(select) X(poll) X(ppoll)     \
    X(ioctl) X(fcntl) X(mkfifo) X(shmget) X(shmat) X(shmdt) X(shmctl) X(ftok)             \
    X(timer_create) X(timer_settime) X(timer_gettime) X(timer_delete) X(pipe) X(pipe2)    \
    X(sigaction) X(sigprocmask) X(fopen) X(fwrite) X(fflush) X(fclose) X(nanosleep)       \
    X(usleep) X(clock_nanosleep) X(malloc) X(calloc) X(stat) X(fstat) X(lstat) X(unlink)  \
    X(dup) X(dup2) X(kill)

enum KvoFaultFn {
#define KVO_FAULT_ENUM(n) KF_##n,
    KVO_FAULT_FUNCS(KVO_FAULT_ENUM)
#undef KVO_FAULT_ENUM
    KF_COUNT
};

#define KVO_FAULT_MAGIC 0x6b766f6661756c74ULL /* "kvofault" */

/* The counter file. */
struct KvoFaultCounts {
    uint64_t magic;
    uint64_t calls[KF_COUNT]; /* counted calls per function */
    uint64_t injected;        /* failures injected */
};

#endif /* KVOFAULT_H */
