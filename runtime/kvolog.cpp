// kvolog.cpp - the process log: syslog by default, or the opt-in target
// named by KVO_LOG_TARGET, or a test's sink.  All runtime and service lines
// pass through ComLog so that one mask governs every target.
#include "kvolog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

enum class Target { Syslog, Fd };

struct LogState {
    Target target = Target::Syslog;
    int fd = -1;            // for Target::Fd
    bool ownFd = false;     // opened here, closed by ComLogClose
    int mask = 0xff;        // LOG_UPTO(LOG_DEBUG): everything
    int facility = LOG_USER;
    char ident[64] = "";
    ComLogSinkProc sink = nullptr;
    void *sinkCtx = nullptr;
};

LogState gLog;

void ChooseTarget()
{
    const char *t = std::getenv("KVO_LOG_TARGET");
    gLog.target = Target::Syslog;
    if (t == nullptr || t[0] == '\0' || std::strcmp(t, "syslog") == 0)
        return;
    if (std::strcmp(t, "stderr") == 0) {
        gLog.target = Target::Fd;
        gLog.fd = STDERR_FILENO;
        gLog.ownFd = false;
        return;
    }
    if (std::strncmp(t, "file:", 5) == 0) {
        int fd = open(t + 5, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            gLog.target = Target::Fd;
            gLog.fd = fd;
            gLog.ownFd = true;
        }
    }
    // Anything else: keep syslog, the documented default.
}

// Our pid for the line prefix, refreshed in a forked child: a system call
// per line would double the cost of a traced line.
pid_t gPid;
bool gAtforkSet;

void RefreshPid() { gPid = getpid(); }

// One record "<PRI>IDENT[PID]: TEXT\n", formatted in place and written in
// one write, whether or not the text ended with a line feed.
KVO_PRINTF(2, 0) void WriteLineV(int priority, const char *fmt, va_list ap)
{
    char line[2048];
    int head = std::snprintf(line, sizeof line, "<%d>%s[%d]: ", gLog.facility | priority, gLog.ident,
                             static_cast<int>(gPid));
    if (head < 0 || static_cast<size_t>(head) >= sizeof line - 1)
        return;
    int n = std::vsnprintf(line + head, sizeof line - static_cast<size_t>(head), fmt, ap);
    if (n < 0)
        return;
    size_t out = static_cast<size_t>(head) + static_cast<size_t>(n);
    if (out > sizeof line - 2)
        out = sizeof line - 2; // cut: keep room for the line feed
    if (out > static_cast<size_t>(head) && line[out - 1] == '\n')
        --out;
    line[out++] = '\n';
    ssize_t w;
    do {
        w = write(gLog.fd, line, out);
    } while (w < 0 && errno == EINTR);
}

} // namespace

extern "C" void ComLogOpen(const char *ident, int option, int facility)
{
    std::snprintf(gLog.ident, sizeof gLog.ident, "%s", ident != nullptr ? ident : "");
    gLog.facility = facility;
    gPid = 0;
    (void)ComLogPid();
    ChooseTarget();
    if (gLog.target == Target::Syslog)
        openlog(ident, option, facility);
}

extern "C" int ComLogPid(void)
{
    if (gPid == 0) {
        RefreshPid();
        if (!gAtforkSet) {
            (void)pthread_atfork(nullptr, nullptr, RefreshPid);
            gAtforkSet = true;
        }
    }
    return static_cast<int>(gPid);
}

extern "C" int ComLogSetMask(int mask)
{
    int old = gLog.mask;
    if (mask != 0) {
        gLog.mask = mask;
        setlogmask(mask);
    }
    return old;
}

extern "C" int ComLogEnabled(int priority)
{
    return (gLog.mask & LOG_MASK(LOG_PRI(priority))) != 0;
}

extern "C" void ComLogV(int priority, const char *fmt, va_list ap)
{
    if (!ComLogEnabled(priority))
        return; // cheap exit for masked traces: no formatting, no system call
    int saved = errno; // logging never disturbs the caller's errno
    if (gLog.sink != nullptr) {
        char text[1024];
        std::vsnprintf(text, sizeof text, fmt, ap);
        gLog.sink(LOG_PRI(priority), text, gLog.sinkCtx);
    } else if (gLog.target == Target::Fd) {
        WriteLineV(LOG_PRI(priority), fmt, ap);
    } else {
        vsyslog(priority, fmt, ap);
    }
    errno = saved;
}

extern "C" void ComLog(int priority, const char *fmt, ...)
{
    if (!ComLogEnabled(priority))
        return;
    va_list ap;
    va_start(ap, fmt);
    ComLogV(priority, fmt, ap);
    va_end(ap);
}

extern "C" void ComLogClose(void)
{
    if (gLog.target == Target::Syslog) {
        closelog();
    } else if (gLog.ownFd && gLog.fd >= 0) {
        close(gLog.fd);
    }
    gLog.fd = -1;
    gLog.ownFd = false;
    gLog.target = Target::Syslog;
}

extern "C" void ComLogSetSink(ComLogSinkProc sink, void *ctx)
{
    gLog.sink = sink;
    gLog.sinkCtx = ctx;
}
