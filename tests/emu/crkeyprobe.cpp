// crkeyprobe.cpp - a stand-in for a driver client: one device operation per
// command, its result printed, so tests can check the emulation from a child
// process.  Commands from the arguments, else one per line of input:
//   open             -> "open FD ERRNO"
//   ioctl REQ [VAL]  -> "ioctl RESULT ERRNO BYTE" (third argument: one byte)
//   read             -> "read COUNT ERRNO BYTE" (a single-byte read)
//   ready            -> "ready N": pselect's count, not waiting (1: an event is pending)
//   close            -> "close RESULT ERRNO"
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
        std::printf("open %d %d\n", gFd, gFd < 0 ? errno : 0);
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

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) // each argument one command ("ioctl 1" and the like quoted)
        Do(argv[i]);
    for (std::string line; argc == 1 && std::getline(std::cin, line);)
        Do(line);
    return 0;
}
