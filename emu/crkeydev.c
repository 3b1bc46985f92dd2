/*
 * crkeydev.c - the guard-button device "/dev/cr_key" inside a program that
 * runs off the board. Preloaded (LD_PRELOAD) into the program, it takes the
 * program's open, ioctl, read and close of the device and serves them from
 * the emulation named by $KVO_CRKEY_SOCKET (crkeyemu.cpp, protocol in
 * crkeywire.h); every other path and descriptor goes straight to the C
 * library. Built for the host and for the controller's CPU (a PowerPC
 * program under qemu-user loads the PowerPC build), with no sanitizer
 * runtime, so that it loads into sanitized programs too.
 *
 * The descriptor the program gets is the event socket: a press is a byte
 * on it, so select and pselect see the device readable as the driver's
 * would be. Each open also holds a control connection, found by the event
 * descriptor's number; every request is a round trip on it, so counts and
 * faults are settled before the call returns. The programs are built
 * without _FORTIFY_SOURCE, so their reads come here, not to __read_chk.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "crkeywire.h"

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);

/* Control connection + 1 per event descriptor; 0: not the device. */
#define MAX_FD 1024
static int ctlOf[MAX_FD];

typedef int (*OpenFn)(const char *, int, ...);
typedef int (*OpenAtFn)(int, const char *, int, ...);
typedef ssize_t (*ReadFn)(int, void *, size_t);
typedef int (*CloseFn)(int);
typedef int (*IoctlFn)(int, unsigned long, ...);

/* The next definition of name: the C library's, or a later preload's. */
#define NEXT(type, name) static type next; if (next == NULL) next = (type)dlsym(RTLD_NEXT, name)

static int Ctl(int fd)
{
    return fd >= 0 && fd < MAX_FD ? ctlOf[fd] - 1 : -1;
}

static int RealClose(int fd)
{
    NEXT(CloseFn, "close");
    return next(fd);
}

static ssize_t RealRead(int fd, void *buf, size_t n)
{
    NEXT(ReadFn, "read");
    return next(fd, buf, n);
}

static int Fail(int err)
{
    errno = err;
    return -1;
}

/* A descriptor the C library opened: when the device held its number, the
 * device was closed behind our back (close_range, a raw system call), so
 * its control connection goes too. */
static int Fresh(int fd)
{
    int ctl = Ctl(fd);
    if (ctl >= 0) {
        ctlOf[fd] = 0;
        RealClose(ctl);
    }
    return fd;
}

static int IsDevice(const char *path)
{
    return path != NULL && strcmp(path, CRKEY_DEVICE) == 0 && getenv(CRKEY_SOCKET_ENV) != NULL;
}

/* One request and its answer; *fd (when given) receives a descriptor sent
 * with the answer. -1 with EIO when the emulation is gone. */
static int Call(int ctl, int op, int arg, unsigned char answer[2], int *fd)
{
    unsigned char req[2] = {(unsigned char)op, (unsigned char)arg};
    ssize_t n;
    do
        n = send(ctl, req, sizeof req, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n != (ssize_t)sizeof req)
        return Fail(EIO);

    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(int))];
    } cmsg;
    struct iovec iov = {answer, 2};
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = cmsg.buf;
    msg.msg_controllen = sizeof cmsg.buf;
    do
        n = recvmsg(ctl, &msg, MSG_WAITALL);
    while (n < 0 && errno == EINTR);
    if (n != 2)
        return Fail(EIO);
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    if (fd != NULL && c != NULL && c->cmsg_type == SCM_RIGHTS)
        memcpy(fd, CMSG_DATA(c), sizeof(int));
    return 0;
}

static int OpenDevice(int flags)
{
    const char *path = getenv(CRKEY_SOCKET_ENV);
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa.sun_path)
        return Fail(ENODEV);
    strcpy(sa.sun_path, path);
    int ctl = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ctl < 0)
        return -1;
    if (connect(ctl, (struct sockaddr *)&sa, sizeof sa) != 0) {
        RealClose(ctl);
        return Fail(ENODEV); /* no emulation: as if no driver were loaded */
    }
    unsigned char answer[2];
    int fd = -1;
    int err = EIO;
    if (Call(ctl, CRKEY_OP_OPEN, 0, answer, &fd) == 0)
        err = answer[0] != 0 ? answer[0] : fd < 0 ? EIO : fd >= MAX_FD ? EMFILE : 0;
    if (err != 0) {
        if (fd >= 0)
            RealClose(fd);
        RealClose(ctl);
        return Fail(err);
    }
    if (flags & O_NONBLOCK)
        fcntl(fd, F_SETFL, O_NONBLOCK);
    if (flags & O_CLOEXEC)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    ctlOf[fd] = ctl + 1;
    return fd;
}

static mode_t ModeArg(int flags, va_list ap)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

/* open, open64, openat and openat64 take the mode from their variable
 * arguments; __open_2 and __open64_2 (the checked forms) have none. */
#define OPEN_VA(name, type, params, args)                                    \
    int name params                                                          \
    {                                                                        \
        va_list ap;                                                          \
        va_start(ap, flags);                                                 \
        mode_t mode = ModeArg(flags, ap);                                    \
        va_end(ap);                                                          \
        if (IsDevice(path))                                                  \
            return OpenDevice(flags);                                        \
        NEXT(type, #name);                                                   \
        return Fresh(next args);                                             \
    }
#define OPEN_2(name)                                                         \
    int name(const char *path, int flags)                                    \
    {                                                                        \
        if (IsDevice(path))                                                  \
            return OpenDevice(flags);                                        \
        NEXT(OpenFn, #name);                                                 \
        return Fresh(next(path, flags));                                     \
    }
OPEN_VA(open, OpenFn, (const char *path, int flags, ...), (path, flags, mode))
OPEN_VA(open64, OpenFn, (const char *path, int flags, ...), (path, flags, mode))
OPEN_VA(openat, OpenAtFn, (int dirfd, const char *path, int flags, ...), (dirfd, path, flags, mode))
OPEN_VA(openat64, OpenAtFn, (int dirfd, const char *path, int flags, ...), (dirfd, path, flags, mode))
OPEN_2(__open_2)
OPEN_2(__open64_2)

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int ctl = Ctl(fd);
    if (ctl < 0) {
        NEXT(IoctlFn, "ioctl");
        return next(fd, request, arg);
    }
    if (request != CRKEY_GETKEYSTS && request != CRKEY_SETKEYPOLLTM)
        return Fail(ENOTTY); /* what a driver answers to a request it lacks */
    unsigned char *byte = arg;
    if (byte == NULL)
        return Fail(EFAULT);
    unsigned char answer[2];
    int get = request == CRKEY_GETKEYSTS;
    if (Call(ctl, get ? CRKEY_OP_GETSTS : CRKEY_OP_SETPOLL, get ? 0 : *byte, answer, NULL) != 0)
        return -1;
    if (answer[0] != 0)
        return Fail(answer[0]);
    if (get)
        *byte = answer[1];
    return 0;
}

/* One event byte per read, whatever the size asked for, as the driver. */
ssize_t read(int fd, void *buf, size_t n)
{
    int ctl = Ctl(fd);
    if (ctl < 0 || n == 0)
        return RealRead(fd, buf, n);
    unsigned char answer[2];
    unsigned char byte;
    if (Call(ctl, CRKEY_OP_READ, 0, answer, NULL) != 0)
        return -1;
    ssize_t got = RealRead(fd, &byte, 1);
    if (got != 1)
        return got; /* no byte: the emulation is gone, or a nonblocking open */
    if (answer[0] == CRKEY_READ_EMPTY)
        return 0;
    if (answer[0] != 0)
        return Fail(answer[0]);
    *(unsigned char *)buf = byte;
    return 1;
}

int close(int fd)
{
    int ctl = Ctl(fd);
    if (ctl >= 0) {
        ctlOf[fd] = 0;
        RealClose(ctl); /* the emulation sees the end of the connection */
    }
    return RealClose(fd);
}
