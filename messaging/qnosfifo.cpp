// qnosfifo.cpp - FIFO transport: create and open FIFOs by kind, read one
// 256-byte frame and split it, send a frame with three attempts.  The
// FTP-log delivery (qnosfifo_ftp.cpp) and the status reports (qnstsmsg.cpp)
// send through the same frame builder and attempt loop.
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fifosend.h"

namespace {

// ---- ComFifoCreateOpen kinds ----

enum class OpenDir { Read, Write, Rw };

struct OpenKind {
    int flags;
    int retryErrno; // retried every 50 ms while the open fails with it; 0: never
    OpenDir dir;
};

constexpr int kKindMkfifo = 0;
constexpr useconds_t kOpenRetryUs = 50000;

// Kind 0 creates and is handled apart; its row only fills the index.
constexpr std::array<OpenKind, 7> kOpenKind = {{
    {0, 0, OpenDir::Read},
    {O_RDONLY, 0, OpenDir::Read},
    {O_RDONLY | O_NONBLOCK, 0, OpenDir::Read},
    {O_RDONLY | O_NONBLOCK, EACCES, OpenDir::Read},
    {O_WRONLY, ENOENT, OpenDir::Write},
    {O_WRONLY | O_NONBLOCK, ENOENT, OpenDir::Write},
    {O_RDWR | O_NONBLOCK, 0, OpenDir::Rw},
}};

void LogOpenStart(OpenDir dir, const char *fifoname)
{
    switch (dir) {
    case OpenDir::Read: ComLog(LOG_DEBUG, "start of open read(%s)\n", fifoname); break;
    case OpenDir::Write: ComLog(LOG_DEBUG, "start of open write(%s)\n", fifoname); break;
    case OpenDir::Rw: ComLog(LOG_DEBUG, "start of open RW(%s)\n", fifoname); break;
    }
}

void LogOpenDone(OpenDir dir, int fd)
{
    switch (dir) {
    case OpenDir::Read: ComLog(LOG_DEBUG, "open FifoDescriptor(read) = %d\n", fd); break;
    case OpenDir::Write: ComLog(LOG_DEBUG, "open FifoDescriptor(write) = %d\n", fd); break;
    case OpenDir::Rw: ComLog(LOG_DEBUG, "open FifoDescriptor(RW) = %d\n", fd); break;
    }
}

void LogOpenFailed(OpenDir dir, const char *fifoname, int err)
{
    switch (dir) {
    case OpenDir::Read: ComLog(LOG_INFO, "open(read) failed(%s, errno=%d)\n", fifoname, err); break;
    case OpenDir::Write: ComLog(LOG_INFO, "open(write) failed(%s, errno=%d)\n", fifoname, err); break;
    case OpenDir::Rw: ComLog(LOG_INFO, "open(RW) failed(%s, errno=%d)\n", fifoname, err); break;
    }
}

int FifoCreate(ProcInfo *pProcInfo, const char *fifoname)
{
    ComLog(LOG_DEBUG, "create of FIFO Pipe(%s)\n", fifoname);
    errno = 0;
    if (mkfifo(fifoname, 0777) != 0) {
        int err = errno;
        // An existing FIFO is success; anything else under the name is not,
        // since every later open would reach a file or a directory.
        struct stat st;
        bool isFifo = err == EEXIST && stat(fifoname, &st) == 0 && S_ISFIFO(st.st_mode);
        if (!isFifo) {
            pProcInfo->iErrno = err;
            ComLog(LOG_INFO, "mkfifo failed(%s, errno=%d)\n", fifoname, err);
            return -1;
        }
    }
    ComLog(LOG_DEBUG, "mkfifo success(%s)\n", fifoname);
    ComLog(LOG_DEBUG, "end of ComFifoCreate()\n");
    return 0;
}

int FifoOpen(ProcInfo *pProcInfo, const char *fifoname, const OpenKind &kind)
{
    int fd;
    for (;;) {
        errno = 0;
        LogOpenStart(kind.dir, fifoname);
        fd = open(fifoname, kind.flags);
        if (fd >= 0 || kind.retryErrno == 0 || errno != kind.retryErrno)
            break;
        ComLog(LOG_DEBUG, "sleep() of open(%s)\n", fifoname);
        usleep(kOpenRetryUs);
    }
    if (fd < 0) {
        pProcInfo->iErrno = errno;
        LogOpenFailed(kind.dir, fifoname, errno);
        return -1;
    }
    LogOpenDone(kind.dir, fd);
    ComLog(LOG_DEBUG, "end of ComFifoCreate()\n");
    return fd;
}

// ---- the send ----

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int RemainingMs(long long deadline)
{
    long long left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

constexpr int kReaderPollMs = 10; // pause between opens while the FIFO has no reader

void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // An interrupted sleep just ends early: the caller looks at the clock again.
    nanosleep(&ts, nullptr);
}

// Opens and closes the FIFO read-only: it must exist and be readable.  Being
// non-blocking, the open never waits for a writer.
bool CheckOpen(const char *fifoname)
{
    errno = 0;
    int fd = open(fifoname, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        ComLog(LOG_INFO, "FIFO read open error (fifo=%s, errno=%d(%s))\n", fifoname, err, strerror(err));
        return false;
    }
    close(fd);
    return true;
}

void LogWriteOpenError(const char *fifoname, int err)
{
    ComLog(LOG_INFO, "FIFO write open error (fifo=%s, errno=%d(%s))\n", fifoname, err, strerror(err));
}

// The append open, waiting for a reader until the deadline.  Without
// O_CREAT and with the FIFO check after it, a send never makes or writes a
// regular file where a FIFO should be.  -1 when the attempt failed (logged).
int AppendOpen(const char *fifoname, long long deadline)
{
    int fd;
    for (;;) {
        errno = 0;
        fd = open(fifoname, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            break;
        int left = RemainingMs(deadline);
        // An interrupted open is tried again, but only within the deadline.
        if (errno == EINTR && left > 0)
            continue;
        if (errno != ENXIO || left == 0) {
            LogWriteOpenError(fifoname, errno);
            return -1;
        }
        SleepMs(left < kReaderPollMs ? left : kReaderPollMs);
    }
    struct stat st;
    errno = 0;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        int err = errno != 0 ? errno : EINVAL;
        close(fd);
        LogWriteOpenError(fifoname, err);
        return -1;
    }
    return fd;
}

enum class WriteResult { Sent, Failed, Broken };

// One write of the whole frame; while the FIFO has no room, waits for it
// until the deadline.  256 bytes are at most PIPE_BUF, so the write is
// atomic: all of the frame or none of it.
WriteResult WriteFrame(int fd, const char *fifoname, const FifoMsg *frame, long long deadline)
{
    for (;;) {
        errno = 0;
        ssize_t n = write(fd, frame, sizeof *frame);
        if (n == static_cast<ssize_t>(sizeof *frame))
            return WriteResult::Sent;
        int err = errno;
        if (n < 0 && (err == EINTR || err == EAGAIN)) {
            int left = RemainingMs(deadline);
            if (left > 0 && err == EINTR)
                continue;
            if (left > 0) {
                struct pollfd pfd = {fd, POLLOUT, 0};
                poll(&pfd, 1, left);
                continue;
            }
        }
        ComLog(LOG_INFO, "FIFO write error (fifo=%s, errno=%d(%s))\n", fifoname, err, strerror(err));
        // A part of a frame is in the FIFO: another attempt would add a
        // second, whole one behind it.
        return n >= 0 ? WriteResult::Broken : WriteResult::Failed;
    }
}

} // namespace

namespace kvo {

bool FifoIdsCheck(const char *fifoname, int mid, int cid)
{
    if (FifoIdFits(mid) && FifoIdFits(cid))
        return true;
    ComLog(LOG_INFO, "FIFO id error (fifo=%s, mid=%d, cid=%d)\n", fifoname, mid, cid);
    return false;
}

bool FifoDataIdCheck(const char *fifoname, int cid, int value)
{
    if (FifoIdFits(value))
        return true;
    ComLog(LOG_INFO, "FIFO data id error (fifo=%s, cid=%d, value=%d)\n", fifoname, cid, value);
    return false;
}

void FifoTraceStart(int priority, int place, const char *func)
{
    ComLog(priority, "start of function ,%s,%d,@%s\n", kFifoSrcName, place, func);
}

void FifoTraceEnd(int priority, int place, const char *func)
{
    ComLog(priority, "end of function ,%s,%d,@%s\n", kFifoSrcName, place, func);
}

void FifoPutId(char *dst, int v)
{
    dst[0] = static_cast<char>('0' + v / 100 % 10);
    dst[1] = static_cast<char>('0' + v / 10 % 10);
    dst[2] = static_cast<char>('0' + v % 10);
}

void FifoFrameBuild(FifoMsg *frame, int mid, int cid, const char *data)
{
    std::memset(frame, 0, sizeof *frame);
    FifoPutId(frame->mid, mid);
    FifoPutId(frame->cid, cid);
    std::memcpy(frame->data, data, sizeof frame->data);
}

int FifoFrameSend(const char *fifoname, const FifoMsg *frame, int waitMs)
{
    const long long deadline = NowMs() + waitMs;
    int result = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        result = -1;
        if (!CheckOpen(fifoname))
            continue;
        int fd = AppendOpen(fifoname, deadline);
        if (fd < 0)
            continue;
        WriteResult wr = WriteFrame(fd, fifoname, frame, deadline);
        if (wr != WriteResult::Sent) {
            close(fd);
            if (wr == WriteResult::Broken)
                return -1;
            continue;
        }
        // The frame is in the FIFO: a failing close must not make the
        // caller, or another attempt, send it twice.
        errno = 0;
        if (close(fd) != 0) {
            int err = errno;
            ComLog(LOG_INFO, "FIFO close error (fifo=%s, errno=%d(%s))\n", fifoname, err, strerror(err));
        }
        return 0;
    }
    return result;
}

} // namespace kvo

extern "C" int ComFifoCreateOpen(ProcInfo *pProcInfo, const char *fifoname, int kind)
{
    ComLog(LOG_DEBUG, "start of ComFifoCreate()\n");
    ComLog(LOG_DEBUG, "fifoname = %s\n", fifoname);
    ComLog(LOG_DEBUG, "kind = %d\n", kind);
    errno = 0;
    if (kind < 0 || kind >= static_cast<int>(kOpenKind.size())) {
        ComLog(LOG_INFO, "error of kind(%d)\n", kind);
        return -1;
    }
    if (kind == kKindMkfifo)
        return FifoCreate(pProcInfo, fifoname);
    return FifoOpen(pProcInfo, fifoname, kOpenKind[static_cast<size_t>(kind)]);
}

extern "C" int ComFifoRead(ProcInfo *pProcInfo, int fifoDescript, char *buf)
{
    ComLog(LOG_DEBUG, "start of ComFifoRead()\n");
    ComLog(LOG_DEBUG, "fifoDescript = %d\n", fifoDescript);
    errno = 0;
    ssize_t n = read(fifoDescript, buf, FIFO_MSG_SIZE);
    if (n < 0 && errno != EAGAIN) {
        pProcInfo->iErrno = errno;
        ComLog(LOG_INFO, "read failed(fifoDescript=%d), errno=%d\n", fifoDescript, errno);
        return -1;
    }
    if (n > 0) {
        // The log's own pid: no system call on the path of every frame.
        ComLog(LOG_DEBUG, "pid=%d, read-cnt=%dbyte\n", ComLogPid(), static_cast<int>(n));
        ComLog(LOG_DEBUG, "receive-data=%.*s\n", static_cast<int>(n), buf);
    }
    ComLog(LOG_DEBUG, "end of ComFifoRead()\n");
    return n > 0 ? static_cast<int>(n) : 0;
}

extern "C" int ComFIFOGetData(ProcInfo *pProcInfo, int *mid, int *cid, char *data)
{
    // Zero-filled for every read: the bytes past a short read are zeros,
    // never those of an earlier frame.
    FifoMsg frame = {};
    int n = ComFifoRead(pProcInfo, pProcInfo->iSelectDes, reinterpret_cast<char *>(&frame));
    if (n <= 0)
        return n;
    char id[FIFO_MSG_ID_LEN + 1] = {};
    std::memcpy(id, frame.mid, FIFO_MSG_ID_LEN);
    *mid = std::atoi(id);
    std::memcpy(id, frame.cid, FIFO_MSG_ID_LEN);
    *cid = std::atoi(id);
    std::memcpy(data, frame.data, FIFO_MSG_DATA_SIZE);
    const unsigned char *d = reinterpret_cast<const unsigned char *>(frame.data);
    ComLog(LOG_DEBUG,
           "ComFIFOGetData() mid = %d, cid = %d, rcv_data = %02x %02x %02x %02x %02x %02x %02x %02x",
           *mid, *cid, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    return n;
}

// The bound on the caller's wait for a peer that has no reader on its FIFO
// or keeps it full is KVO_SEND_TIMEOUT_MS for the whole send, all three
// attempts together; a dead peer therefore costs the caller about that long.
extern "C" int ComFIFOPutData2(const char *fifoname, int mid, int cid, const char *data)
{
    if (!kvo::FifoIdsCheck(fifoname, mid, cid))
        return -1;
    FifoMsg frame;
    kvo::FifoFrameBuild(&frame, mid, cid, data);
    return kvo::FifoFrameSend(fifoname, &frame, KVO_SEND_TIMEOUT_MS);
}

extern "C" int ComFifoWrite(int fifoDescript, const char *buf, unsigned int len)
{
    ComLog(LOG_DEBUG, "start of ComFifoWrite()\n");
    errno = 0;
    ssize_t n = write(fifoDescript, buf, len);
    if (n < 0) {
        ComLog(LOG_INFO, "send failed(iFifoDescript=%d, errno=%d)\n", fifoDescript, errno);
        return -1;
    }
    ComLog(LOG_DEBUG, "send ok(iFifoDescript=%d)\n", fifoDescript);
    ComLog(LOG_DEBUG, "send data(%.*s)\n", len > INT_MAX ? INT_MAX : static_cast<int>(len), buf);
    ComLog(LOG_DEBUG, "end of ComFifoWrite()\n");
    return 0;
}

extern "C" int ComFifoClose(ProcInfo *pProcInfo, int fifoDescript)
{
    ComLog(LOG_DEBUG, "start of ComFifoClose()\n");
    errno = 0;
    if (close(fifoDescript) != 0) {
        pProcInfo->iErrno = errno;
        ComLog(LOG_INFO, "FifoClose failed(iFifoDescriptor=%d, errno=%d)\n", fifoDescript, errno);
        return -1;
    }
    ComLog(LOG_DEBUG, "FifoClose success(iFifoDescriptor=%d)\n", fifoDescript);
    ComLog(LOG_DEBUG, "end of ComFifoClose()\n");
    return 0;
}
