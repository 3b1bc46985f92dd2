// crkeyprobe.cpp - a stand-in for a driver client: one device operation per line of input
// (open, ioctl REQ [VAL], read, ready, close), its result printed as one line, so that tests
// check the emulation from a child process ("ready": pselect's count, not waiting).
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

int gFd = -1;

void Do(const std::string &line)
{
    std::istringstream in(line);
    std::string op;
    unsigned long req = 0;
    int val = 0;
    unsigned char byte = 0;
    in >> op >> req >> val;
    errno = 0;
    if (op == "open") {
        gFd = open("/dev/cr_key", O_RDWR);
        std::printf("open %d %d\n", gFd < 0 ? -1 : 0, gFd < 0 ? errno : 0);
    } else if (op == "ioctl" || op == "read" || op == "close") {
        byte = static_cast<unsigned char>(val);
        long r = op == "ioctl" ? ioctl(gFd, req, &byte) : op == "read" ? read(gFd, &byte, 1) : close(gFd);
        std::printf("%s %ld %d", op.c_str(), r, r < 0 ? errno : 0);
        std::printf(op == "close" ? "\n" : " %d\n", byte);
    } else if (op == "ready") {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(gFd, &set);
        timespec now{0, 0};
        std::printf("ready %d\n", pselect(gFd + 1, &set, nullptr, nullptr, &now, nullptr));
    } else if (!op.empty()) {
        std::printf("unknown %s\n", op.c_str());
    }
    std::fflush(stdout);
}

} // namespace

int main()
{
    for (std::string line; std::getline(std::cin, line);)
        Do(line);
}
