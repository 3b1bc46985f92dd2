// The service's default log target is the system log.  The service runs in
// a private mount namespace whose /dev is a fresh tmpfs with our own
// datagram socket bound over /dev/log, so its records reach only this test
// and the machine's syslog never sees them.  A board of its own: no device
// emulation, which would have to be loaded into unshare and mount too.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <thread>

#include "board/board.h"

namespace {

struct SyslogRecord {
    int pri = -1;
    std::string ident;
    int pid = -1;
    std::string text;
};

// "<PRI>TIMESTAMP IDENT[PID]: TEXT" as the C library formats it.
bool ParseRecord(const std::string &dgram, SyslogRecord *r)
{
    size_t close = dgram.find('>');
    size_t colon = dgram.find("]: ");
    if (dgram.empty() || dgram[0] != '<' || close == std::string::npos || colon == std::string::npos)
        return false;
    size_t open = dgram.rfind('[', colon);
    size_t start = open == std::string::npos ? open : dgram.rfind(' ', open);
    if (start == std::string::npos || start < close)
        return false;
    r->pri = std::atoi(dgram.c_str() + 1);
    r->ident = dgram.substr(start + 1, open - start - 1);
    r->pid = std::atoi(dgram.c_str() + open + 1);
    r->text = dgram.substr(colon + 3);
    while (!r->text.empty() && (r->text.back() == '\n' || r->text.back() == '\0'))
        r->text.pop_back();
    return true;
}

// Drains the socket while the service runs: a full socket queue would make
// the service wait in its logging.  After the stop, one more pass takes
// what is still queued.
class Collector {
public:
    explicit Collector(int sock) : sock_(sock), thread_([this] { Run(); }) {}
    ~Collector() { Stop(); }
    std::vector<std::string> Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return dgrams_;
    }

private:
    void Run()
    {
        for (bool last = false; !last;) {
            last = stop_;
            pollfd p{sock_, POLLIN, 0};
            char buf[2048];
            ssize_t n = 0;
            while (poll(&p, 1, last ? 0 : 50) > 0 && (n = recv(sock_, buf, sizeof buf, 0)) > 0)
                dgrams_.emplace_back(buf, static_cast<size_t>(n));
        }
    }

    int sock_;
    std::atomic<bool> stop_{false};
    std::vector<std::string> dgrams_;
    std::thread thread_;
};

// The build's own service, or $KVO_TEST_SERVICE (the ppc build runs this
// test against its PowerPC service).
std::string Service()
{
    const char *s = std::getenv("KVO_TEST_SERVICE");
    return s != nullptr && *s != '\0' ? s : KVO_GDBT_BINARY;
}

TEST(SyslogTarget, RecordsCarryIdentFacilityPidAndPriority)
{
    if (geteuid() != 0 || std::system("unshare -m true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and unshare -m: the service's syslog is caught in a private mount namespace";
    kvoboard::Board board;
    kvoboard::BoardSetup setup;
    setup.device = false;
    std::string why;
    ASSERT_TRUE(board.Create(setup, &why)) << why;

    std::string path = board.Dir() + "/devlog";
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    Collector collector(sock);
    // unshare makes the new namespace's mounts private, so nothing leaks out.
    kvoboard::Launch launch;
    launch.service = Service();
    launch.level = "7";
    launch.log = kvoboard::LogTo::Syslog;
    launch.wrap = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                   "mount -t tmpfs kvo /dev && : > /dev/log && mount --bind \"$0\" /dev/log && exec \"$@\"", path};
    ASSERT_TRUE(board.Start(launch, &why)) << why;
    ASSERT_EQ(board.AwaitStartup(10000), 0) << "no start-up report";
    EXPECT_EQ(board.Stop(10000), 0);

    int info = 0, debug = 0, missing = 0;
    std::vector<std::string> dgrams = collector.Stop();
    close(sock);
    ASSERT_FALSE(dgrams.empty());
    for (const std::string &dgram : dgrams) {
        SyslogRecord r;
        EXPECT_TRUE(ParseRecord(dgram, &r)) << dgram;
        EXPECT_EQ(r.ident, "KVOGDBT");
        EXPECT_EQ(r.pid, board.Pid());
        EXPECT_EQ(r.pri & ~7, LOG_LOCAL4) << r.text;
        info += r.pri == (LOG_LOCAL4 | LOG_INFO) && r.text == "end of InitProc";
        debug += r.pri == (LOG_LOCAL4 | LOG_DEBUG) && r.text == "end of GdbtProcess";
        // The device is absent in the namespace: an info record says so.
        missing += r.pri == (LOG_LOCAL4 | LOG_INFO) && r.text.rfind("00021,InitProcSub,", 0) == 0;
    }
    EXPECT_EQ(info, 1);
    EXPECT_EQ(debug, 1);
    EXPECT_EQ(missing, 1);
}

} // namespace
