// kvomsg.cpp - the frame tool: send one frame to a module's FIFO, decode
// frames from a file or a pipe, or watch a FIFO and print each frame it
// receives.  Paths follow KVO_ROOT, so the same tool serves the controller
// and a simulated one.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "commands.h"
#include "describe.h"
#include "frame.h"
#include "kvoruntime.h"
#include "names.h"
#include "numbers.h"

namespace {

constexpr int kUsage = 2;

int Usage()
{
    std::fprintf(stderr,
                 "usage: kvomsg send FIFO|peer MODULE COMMAND [--text TEXT | --hex HEX]\n"
                 "       kvomsg decode [FILE]\n"
                 "       kvomsg watch FIFO|peer [--count N]\n"
                 "FIFO|peer: FifoSts, sts, status, kvosts, 80, ... (paths follow KVO_ROOT)\n"
                 "MODULE, COMMAND: a number or a name (kvosts, sts; terminate, io_stsreq)\n");
    return kUsage;
}

// The runtime's own error lines (a failed send, say) go to standard error.
void LogToStderr(int priority, const char *text, void *)
{
    if (priority <= LOG_INFO)
        std::fprintf(stderr, "kvomsg: %s", text);
}

const PeerFifo *PeerArg(const char *arg)
{
    const PeerFifo *peer = FindPeer(arg);
    if (peer == nullptr)
        std::fprintf(stderr, "kvomsg: '%s' is no FIFO or peer module\n", arg);
    return peer;
}

bool DataArg(int argc, char **argv, int i, FrameData *data)
{
    if (i == argc)
        return true;
    if (argc - i != 2)
        return false;
    std::string opt = argv[i], val = argv[i + 1];
    DataPatch p;
    if (opt == "--text")
        p.bytes.assign(val.begin(), val.end());
    else if (opt != "--hex" || !ParseHexBytes(val, &p.bytes))
        return false;
    if (!BuildData({p}, data)) {
        std::fprintf(stderr, "kvomsg: data longer than %d bytes\n", FIFO_MSG_DATA_SIZE);
        return false;
    }
    return true;
}

int Send(int argc, char **argv)
{
    if (argc < 5)
        return Usage();
    const PeerFifo *peer = PeerArg(argv[2]);
    Frame f;
    if (peer == nullptr)
        return kUsage;
    if (!ParseModule(argv[3], &f.mid) || !ParseCommand(argv[4], &f.cid)) {
        std::fprintf(stderr, "kvomsg: expected a module and a command, got '%s' '%s'\n", argv[3],
                     argv[4]);
        return kUsage;
    }
    if (!DataArg(argc, argv, 5, &f.data))
        return Usage();
    const char *path = KvoPath(peer->path);
    if (ComFIFOPutData2(path, f.mid, f.cid, reinterpret_cast<const char *>(f.data.data())) != 0) {
        std::fprintf(stderr, "kvomsg: not delivered to %s\n", path);
        return 1;
    }
    std::printf("sent to %s: %s\n", peer->fifo, DescribeFrame(f).c_str());
    return 0;
}

// Fills buf with up to 256 bytes, across short reads; the count read.
size_t ReadFrameBytes(int fd, uint8_t *buf)
{
    size_t got = 0;
    while (got < FIFO_MSG_SIZE) {
        ssize_t n = read(fd, buf + got, FIFO_MSG_SIZE - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

int Decode(int argc, char **argv)
{
    if (argc > 3)
        return Usage();
    int fd = STDIN_FILENO;
    if (argc == 3 && std::strcmp(argv[2], "-") != 0) {
        fd = open(argv[2], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "kvomsg: %s: %s\n", argv[2], std::strerror(errno));
            return 1;
        }
    }
    uint8_t buf[FIFO_MSG_SIZE];
    size_t n;
    while ((n = ReadFrameBytes(fd, buf)) > 0)
        std::printf("%s\n", DescribeFrame(ParseFrame(buf, n)).c_str());
    return 0;
}

std::string Clock()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  ts.tv_nsec / 1000000);
    return text;
}

int Watch(int argc, char **argv)
{
    long count = -1;
    if (argc == 5 && std::strcmp(argv[3], "--count") == 0) {
        if (!ParseLong(argv[4], 1, 1000000, &count))
            return Usage();
    } else if (argc != 3) {
        return Usage();
    }
    const PeerFifo *peer = PeerArg(argv[2]);
    if (peer == nullptr)
        return kUsage;
    // Held for reading and writing, as a module holds its own FIFO: senders
    // never block and the FIFO never reports end of file.
    const char *path = KvoPath(peer->path);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "kvomsg: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "watching %s\n", path);
    uint8_t buf[FIFO_MSG_SIZE];
    for (long seen = 0; count < 0 || seen < count; ++seen) {
        ssize_t n;
        do {
            n = read(fd, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return 1;
        std::printf("%s %s %s\n", Clock().c_str(), peer->fifo,
                    DescribeFrame(ParseFrame(buf, static_cast<size_t>(n))).c_str());
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    ComLogSetMask(LOG_UPTO(LOG_INFO));
    ComLogSetSink(LogToStderr, nullptr);
    if (argc < 2)
        return Usage();
    std::string cmd = argv[1];
    if (cmd == "send")
        return Send(argc, argv);
    if (cmd == "decode")
        return Decode(argc, argv);
    if (cmd == "watch")
        return Watch(argc, argv);
    return Usage();
}
