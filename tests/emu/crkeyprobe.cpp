// crkeyprobe.cpp - a stand-in for a driver client: does one device operation
// per command and prints its result, so tests can check the emulation from
// a child process. Commands from the arguments, else one per line of input:
//   open             -> "open FD ERRNO"
//   ioctl REQ [VAL]  -> "ioctl RESULT ERRNO BYTE" (third argument: one byte)
//   read [N]         -> N single-byte reads, each "read COUNT ERRNO BYTE"
//   ready            -> "ready N": pselect's count, not waiting (1: an event is pending)
//   close            -> "close RESULT ERRNO"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>
#include <vector>

namespace {

int gFd = -1;

void Do(const std::string &line)
{
    std::istringstream in(line);
    std::string op;
    in >> op;
    if (op == "open") {
        errno = 0;
        gFd = open("/dev/cr_key", O_RDWR);
        std::printf("open %d %d\n", gFd, gFd < 0 ? errno : 0);
    } else if (op == "ioctl") {
        unsigned long req = 0;
        int val = 0;
        in >> req >> val;
        unsigned char byte = static_cast<unsigned char>(val);
        errno = 0;
        int r = ioctl(gFd, req, &byte);
        std::printf("ioctl %d %d %d\n", r, r < 0 ? errno : 0, byte);
    } else if (op == "read") {
        int n = 1;
        in >> n;
        for (int i = 0; i < n; ++i) {
            unsigned char byte = 0;
            errno = 0;
            ssize_t r = read(gFd, &byte, 1);
            std::printf("read %zd %d %d\n", r, r < 0 ? errno : 0, byte);
            std::fflush(stdout);
        }
    } else if (op == "ready") {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(gFd, &set);
        timespec now{0, 0};
        std::printf("ready %d\n", pselect(gFd + 1, &set, nullptr, nullptr, &now, nullptr));
    } else if (op == "close") {
        errno = 0;
        int r = close(gFd);
        std::printf("close %d %d\n", r, r < 0 ? errno : 0);
    } else if (!op.empty()) {
        std::printf("unknown %s\n", op.c_str());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        // Each argument is one command; "ioctl 1" and the like come quoted.
        for (int i = 1; i < argc; ++i)
            Do(argv[i]);
        return 0;
    }
    for (std::string line; std::getline(std::cin, line);)
        Do(line);
    return 0;
}
