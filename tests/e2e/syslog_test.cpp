// The service's default log target is the system log. The service runs in
// a private mount namespace whose /dev is a fresh tmpfs with our own
// datagram socket bound over /dev/log, so its records reach only this test
// and the machine's syslog never sees them.
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "expect.h"

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
    if (dgram.empty() || dgram[0] != '<')
        return false;
    size_t close = dgram.find('>');
    size_t colon = dgram.find("]: ");
    if (close == std::string::npos || colon == std::string::npos)
        return false;
    size_t open = dgram.rfind('[', colon);
    size_t start = dgram.rfind(' ', open);
    if (open == std::string::npos || start == std::string::npos || start < close)
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
// the service wait in its logging.
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
        // After the stop, one more pass takes what is still queued.
        for (bool last = false; !last;) {
            last = stop_;
            pollfd p{sock_, POLLIN, 0};
            while (poll(&p, 1, last ? 0 : 50) > 0) {
                char buf[2048];
                ssize_t n = recv(sock_, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                dgrams_.emplace_back(buf, static_cast<size_t>(n));
            }
        }
    }

    int sock_;
    std::atomic<bool> stop_{false};
    std::vector<std::string> dgrams_;
    std::thread thread_;
};

bool NamespacesAllowed()
{
    return geteuid() == 0 && std::system("unshare -m true >/dev/null 2>&1") == 0;
}

TEST(SyslogTarget, RecordsCarryIdentFacilityPidAndPriority)
{
    if (!NamespacesAllowed())
        GTEST_SKIP() << "needs root and unshare -m: the service's syslog is caught in a private mount namespace";
    RigOptions options;
    options.emulate = false; // no preload into unshare and mount
    Rig rig(options);
    ASSERT_EQ(rig.Error(), "");

    std::string path = rig.Root() + "/devlog";
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    Collector collector(sock);
    // unshare makes the new namespace's mounts private, so nothing leaks out.
    const std::string script = "mount -t tmpfs kvo /dev && : > /dev/log && mount --bind \"$0\" /dev/log && exec \"$@\"";
    ASSERT_TRUE(rig.StartCommand({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, path, ServiceBinary(), "52", "7"},
                                 false));
    pid_t pid = rig.Pid();
    Frame f;
    ASSERT_TRUE(rig.WaitFrame(KVO_PATH_FIFO_STSP, &f)) << "service did not start";
    ASSERT_TRUE(rig.Send(80, 900, Data({0})));
    EXPECT_EQ(rig.WaitExit(), 0);

    std::vector<SyslogRecord> records;
    for (const auto &dgram : collector.Stop()) {
        SyslogRecord r;
        EXPECT_TRUE(ParseRecord(dgram, &r)) << dgram;
        records.push_back(r);
    }
    close(sock);
    ASSERT_FALSE(records.empty());
    int info = 0, debug = 0;
    for (const auto &r : records) {
        EXPECT_EQ(r.ident, "KVOGDBT");
        EXPECT_EQ(r.pid, pid);
        EXPECT_EQ(r.pri & ~7, LOG_LOCAL4) << r.text;
        info += r.pri == (LOG_LOCAL4 | LOG_INFO) && r.text == "end of InitProc";
        debug += r.pri == (LOG_LOCAL4 | LOG_DEBUG) && r.text == "end of GdbtProcess";
    }
    EXPECT_EQ(info, 1);
    EXPECT_EQ(debug, 1);
    // The device was absent in the namespace: an info record says so.
    int missing = 0;
    for (const auto &r : records)
        missing += r.pri == (LOG_LOCAL4 | LOG_INFO) && r.text.rfind("00021,InitProcSub,", 0) == 0;
    EXPECT_EQ(missing, 1);
}

} // namespace
