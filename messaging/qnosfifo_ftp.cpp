// qnosfifo_ftp.cpp - FTP-log delivery: a frame for the FTP module that
// never waits for a reader or for room, and the recovery when it cannot be
// delivered (drain the FTP module's FIFO, ask the status module to kill it).
// Part of the qnosfifo source; its traces name that source and a place.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fifosend.h"

namespace {

constexpr int kDrainReads = 245; // at most this many frames leave in one drain

} // namespace

// 634 to 878 below: fixed place numbers of the trace texts, not our lines.

extern "C" int ComFIFOPutData3(const char *fifoname, int mid, int cid, const char *data)
{
    kvo::FifoTraceStart(LOG_DEBUG, 634, "ComFIFOPutData3");
    int result = -1;
    if (kvo::FifoIdsCheck(fifoname, mid, cid)) {
        FifoMsg frame;
        kvo::FifoFrameBuild(&frame, mid, cid, data);
        // No waiting budget: a FIFO without a reader or without room fails
        // the attempt at once.
        result = kvo::FifoFrameSend(fifoname, &frame, 0);
    }
    kvo::FifoTraceEnd(LOG_DEBUG, 686, "ComFIFOPutData3");
    return result;
}

extern "C" void ComFIFOGetFTP(void)
{
    static const char kFunc[] = "ComFIFOGetFTP";
    kvo::FifoTraceStart(LOG_INFO, 783, kFunc);
    const char *ftp = FIFO_NAME_FTP;
    if (mkfifo(ftp, 0777) != 0)
        kvo::FifoTraceEnd(LOG_INFO, 794, kFunc); // the FIFO is there already: drain it
    errno = 0;
    int fd = open(ftp, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        ComLog(LOG_INFO, "%s open error (errno=%d(%s))\n", ftp, err, strerror(err));
        return;
    }
    // Reading and writing, the descriptor never sees end of file: an empty
    // FIFO answers EAGAIN, and each such read is logged.
    char buf[FIFO_MSG_SIZE];
    for (int i = 0; i < kDrainReads; ++i) {
        errno = 0;
        if (read(fd, buf, sizeof buf) < 0) {
            int err = errno;
            ComLog(LOG_INFO, "FIFO read error (errno=%d(%s))\n", err, strerror(err));
        }
    }
    close(fd);
    kvo::FifoTraceEnd(LOG_INFO, 823, kFunc);
}

extern "C" int ComFIFOPutDataforFtpLog(const char *fifoname, int mid, int cid, const char *data)
{
    static const char kFunc[] = "ComFIFOPutDataforFtpLog";
    kvo::FifoTraceStart(LOG_DEBUG, 861, kFunc);
    int result = ComFIFOPutData3(fifoname, mid, cid, data);
    // A frame refused for its ids says nothing about the FTP module: no
    // drain and no kill request for it.
    if (result != 0 && kvo::FifoIdFits(mid) && kvo::FifoIdFits(cid)) {
        ComFIFOGetFTP();
        SendStsModuleKill(fifoname, mid, MODID_FTP);
        ComLog(LOG_INFO, "pipe=%s is ERROR .iRet=%d ,%s,%d,@%s\n", fifoname, result, kvo::kFifoSrcName, 875,
               kFunc);
    }
    kvo::FifoTraceEnd(LOG_DEBUG, 878, kFunc);
    return result;
}
