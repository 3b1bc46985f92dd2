/*
 * refloop.c - the smallest event loop of the service's kind, as a yardstick
 * for its size, memory and command throughput: one command FIFO, one POSIX
 * timer whose signal is turned into a byte in a self-pipe, and pselect with
 * every signal blocked outside the wait.  It answers 901 with 621 by the
 * same bounded send (check open, append open, write, close), arms a 250 ms
 * one-shot timer on 356, and ends on 900.
 *
 *   refloop COMMAND_FIFO ANSWER_FIFO
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

enum { FRAME = 256, ID_LEN = 3 };

static int selfPipe[2] = {-1, -1};

static void OnTimer(int sig, siginfo_t *info, void *ctx)
{
    (void)sig;
    (void)info;
    (void)ctx;
    int saved = errno;
    (void)!write(selfPipe[1], "1", 1);
    errno = saved;
}

static int Id(const char *p)
{
    char s[ID_LEN + 1] = {p[0], p[1], p[2], 0};
    return atoi(s);
}

/* While the receiver's FIFO is full, wait for room, up to a second. */
static void Answer(const char *fifo, const char *frame)
{
    int fd = open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    close(fd);
    fd = open(fifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    if (write(fd, frame, FRAME) < 0 && errno == EAGAIN) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) == 1)
            (void)!write(fd, frame, FRAME);
    }
    close(fd);
}

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    int cmd = open(argv[1], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (cmd < 0 || pipe2(selfPipe, O_CLOEXEC) != 0)
        return 1;

    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_sigaction = OnTimer;
    act.sa_flags = SA_SIGINFO;
    sigemptyset(&act.sa_mask);
    sigaction(SIGUSR1, &act, NULL);
    sigset_t all, wait;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, NULL);
    wait = all;
    sigdelset(&wait, SIGUSR1);
    sigdelset(&wait, SIGTERM);
    sigdelset(&wait, SIGINT);

    struct sigevent ev;
    memset(&ev, 0, sizeof ev);
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGUSR1;
    timer_t timer;
    if (timer_create(CLOCK_REALTIME, &ev, &timer) != 0)
        return 1;
    const struct itimerspec hold = {{0, 0}, {0, 250000000}};

    char answer[FRAME];
    memcpy(answer, "052621", 6);
    memset(answer + 6, ' ', FRAME - 6);
    int maxfd = cmd > selfPipe[0] ? cmd : selfPipe[0];
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(cmd, &rd);
        FD_SET(selfPipe[0], &rd);
        if (pselect(maxfd + 1, &rd, NULL, NULL, NULL, &wait) < 0)
            continue; /* EINTR: the timer's byte is served next turn */
        char buf[FRAME];
        if (FD_ISSET(selfPipe[0], &rd))
            (void)!read(selfPipe[0], buf, 1);
        if (!FD_ISSET(cmd, &rd) || read(cmd, buf, FRAME) != FRAME)
            continue;
        switch (Id(buf + ID_LEN)) {
        case 900:
            return 0;
        case 901:
            Answer(argv[2], answer);
            break;
        case 356:
            timer_settime(timer, 0, &hold, NULL);
            break;
        default:
            break;
        }
    }
}
