// crkeyemu.cpp - the guard-button device off the board, built on umockdev.
//
// The umockdev testbed gives the children a "/dev/cr_key" that is one end
// of a pseudo-terminal (its preload library redirects the open); event
// bytes are written to the other end, so a child reads them one at a time
// as from the driver. The preload forwards every ioctl and read on that
// descriptor over a socket to the handler below, which answers the two
// driver requests and injects faults. umockdev serves that socket on a
// worker thread with a private GLib main context, so callers run no loop.
// A small preload of our own (crkeyfault.cpp) fails opens on demand and
// counts them.
#include "crkeyemu.h"

#include <umockdev.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef KVO_CRKEY_FAULT_LIB
#error "KVO_CRKEY_FAULT_LIB must name the open-fault preload library"
#endif

namespace {

// The driver's requests; the third ioctl argument is the address of one byte.
constexpr gulong CR_GETKEYSTS = 1;
constexpr gulong CR_SETKEYPOLLTM = 2;

constexpr const char kDevice[] = "/dev/cr_key";
constexpr const char kUmockdevPreload[] = "libumockdev-preload.so.0";
// Shared with the open-fault preload (crkeyfault.cpp), in the testbed folder:
// read by it at each open of the device, and one byte appended per open.
constexpr const char kOpenFaultFile[] = "cr_key.open-errno";
constexpr const char kOpensFile[] = "cr_key.opens";

// The variables CrKeyEmuCreate changes, restored by CrKeyEmuDestroy.
constexpr const char *kSavedVars[] = {"LD_PRELOAD", "UMOCKDEV_DIR", "ASAN_OPTIONS"};
constexpr size_t kSavedCount = sizeof kSavedVars / sizeof kSavedVars[0];

struct SavedVar {
    bool set = false;
    std::string value;
};

} // namespace

struct CrKeyEmu {
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    int master = -1; // our end of the pseudo-terminal; owned by the testbed
    SavedVar saved[kSavedCount];

    std::mutex lock; // the fields below; the handler runs on umockdev's thread
    bool pressed = false;
    unsigned releaseAfter = 0;
    int setPollFault = 0;
    int getStsFault = 0;
    int readFault = 0;
    CrKeyEmuStats stats{0, 0, 0, 0, -1};
};

namespace {

void SaveEnv(CrKeyEmu *emu)
{
    for (size_t i = 0; i < kSavedCount; ++i) {
        const char *v = std::getenv(kSavedVars[i]);
        emu->saved[i].set = v != nullptr;
        emu->saved[i].value = v != nullptr ? v : "";
    }
}

void RestoreEnv(const CrKeyEmu *emu)
{
    for (size_t i = 0; i < kSavedCount; ++i) {
        if (emu->saved[i].set)
            setenv(kSavedVars[i], emu->saved[i].value.c_str(), 1);
        else
            unsetenv(kSavedVars[i]);
    }
}

// LD_PRELOAD for the children: the open-fault library first, so that it sees
// the open before umockdev redirects it; an ASan-built child must accept
// preloads ahead of its runtime.
void SetChildEnv()
{
    std::string preload = std::string(KVO_CRKEY_FAULT_LIB) + ":" + kUmockdevPreload;
    if (const char *old = std::getenv("LD_PRELOAD"); old != nullptr && old[0] != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);

    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "" : ":";
        asan += "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
}

std::string TestbedFile(CrKeyEmu *emu, const char *name)
{
    gchar *root = umockdev_testbed_get_root_dir(emu->testbed);
    std::string file = std::string(root) + "/" + name;
    g_free(root);
    return file;
}

void SetOpenFault(CrKeyEmu *emu, int err)
{
    std::string file = TestbedFile(emu, kOpenFaultFile);
    if (err == 0) {
        unlink(file.c_str());
        return;
    }
    std::string text = std::to_string(err) + "\n";
    g_file_set_contents(file.c_str(), text.c_str(), -1, nullptr); // written whole, by rename
}

void Complete(UMockdevIoctlClient *client, long result, int err)
{
    umockdev_ioctl_client_complete(client, result, err);
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    auto *emu = static_cast<CrKeyEmu *>(user);
    gulong request = umockdev_ioctl_client_get_request(client);
    if (request != CR_GETKEYSTS && request != CR_SETKEYPOLLTM) {
        Complete(client, -1, ENOTTY); // what a driver answers to a request it lacks
        return TRUE;
    }
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *byte = umockdev_ioctl_data_resolve(arg, 0, 1, nullptr);
    long result = 0;
    int err = 0;
    {
        std::lock_guard<std::mutex> guard(emu->lock);
        int fault = request == CR_GETKEYSTS ? emu->getStsFault : emu->setPollFault;
        if (request == CR_GETKEYSTS)
            ++emu->stats.getStsCalls;
        else
            ++emu->stats.setPollCalls;
        if (byte == nullptr) {
            result = -1;
            err = EFAULT;
        } else if (fault != 0) {
            result = -1;
            err = fault;
        } else if (request == CR_SETKEYPOLLTM) {
            emu->stats.lastPollTime = byte->data[0];
        } else {
            byte->data[0] = emu->pressed ? 1 : 0;
            if (emu->pressed && emu->releaseAfter > 0 && --emu->releaseAfter == 0)
                emu->pressed = false;
        }
    }
    Complete(client, result, err); // syncs the byte back to the client
    if (byte != nullptr)
        g_object_unref(byte);
    return TRUE;
}

// Reads go to the pseudo-terminal unless a read fault is armed. A failing
// read still takes its byte, as a driver's failed read would, so the device
// does not stay readable with the same byte.
gboolean OnRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    auto *emu = static_cast<CrKeyEmu *>(user);
    int fault;
    {
        std::lock_guard<std::mutex> guard(emu->lock);
        fault = emu->readFault;
        emu->readFault = 0;
    }
    if (fault == 0)
        return FALSE; // umockdev lets the client make the real read
    int err = 0;
    GError *error = nullptr;
    umockdev_ioctl_client_execute(client, &err, &error);
    g_clear_error(&error);
    if (fault == -1)
        Complete(client, 0, 0);
    else
        Complete(client, -1, fault);
    return TRUE;
}

bool Fail(std::string *error, const std::string &why, GError *gerror = nullptr)
{
    if (error != nullptr)
        *error = gerror != nullptr ? why + ": " + gerror->message : why;
    g_clear_error(&gerror);
    return false;
}

bool BuildTestbed(CrKeyEmu *emu, std::string *error)
{
    emu->testbed = umockdev_testbed_new(); // sets UMOCKDEV_DIR for us
    if (emu->testbed == nullptr)
        return Fail(error, "umockdev testbed not created");
    // With a node line and no contents umockdev backs the node with a
    // pseudo-terminal whose other end we write the event bytes to.
    static constexpr const char kRecord[] = "P: /devices/virtual/misc/cr_key\n"
                                            "N: cr_key\n"
                                            "E: SUBSYSTEM=misc\n"
                                            "E: DEVNAME=/dev/cr_key\n"
                                            "A: dev=10:200\n";
    GError *gerror = nullptr;
    if (!umockdev_testbed_add_from_string(emu->testbed, kRecord, &gerror))
        return Fail(error, "device not added", gerror);
    emu->master = umockdev_testbed_get_dev_fd(emu->testbed, kDevice);
    if (emu->master < 0)
        return Fail(error, "device has no stream end");
    // A child holding our end would keep the device open past its life.
    fcntl(emu->master, F_SETFD, fcntl(emu->master, F_GETFD) | FD_CLOEXEC);
    // Raw bytes: no signal characters, flow control or line editing, so
    // every event byte reaches the reader unchanged.
    termios tio{};
    if (tcgetattr(emu->master, &tio) != 0)
        return Fail(error, std::string("tcgetattr: ") + std::strerror(errno));
    cfmakeraw(&tio);
    if (tcsetattr(emu->master, TCSANOW, &tio) != 0)
        return Fail(error, std::string("tcsetattr: ") + std::strerror(errno));

    emu->handler = umockdev_ioctl_base_new();
    g_signal_connect(emu->handler, "handle-ioctl", reinterpret_cast<GCallback>(OnIoctl), emu);
    g_signal_connect(emu->handler, "handle-read", reinterpret_cast<GCallback>(OnRead), emu);
    if (!umockdev_testbed_attach_ioctl(emu->testbed, kDevice, emu->handler, &gerror))
        return Fail(error, "ioctl handler not attached", gerror);
    return true;
}

bool WriteByte(CrKeyEmu *emu, uint8_t byte)
{
    ssize_t n;
    do {
        n = write(emu->master, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1)
        return false;
    std::lock_guard<std::mutex> guard(emu->lock);
    ++emu->stats.bytesSent;
    return true;
}

} // namespace

CrKeyEmu *CrKeyEmuCreate(std::string *error)
{
    auto *emu = new CrKeyEmu;
    SaveEnv(emu);
    if (!BuildTestbed(emu, error)) {
        CrKeyEmuDestroy(emu);
        return nullptr;
    }
    SetChildEnv();
    return emu;
}

void CrKeyEmuDestroy(CrKeyEmu *emu)
{
    if (emu == nullptr)
        return;
    if (emu->testbed != nullptr && emu->handler != nullptr)
        umockdev_testbed_detach_ioctl(emu->testbed, kDevice, nullptr);
    if (emu->handler != nullptr)
        g_object_unref(emu->handler);
    if (emu->testbed != nullptr)
        g_object_unref(emu->testbed); // removes its folder, closes the terminal
    RestoreEnv(emu);
    delete emu;
}

bool CrKeyEmuPress(CrKeyEmu *emu)
{
    {
        std::lock_guard<std::mutex> guard(emu->lock);
        emu->pressed = true;
    }
    return WriteByte(emu, 1);
}

bool CrKeyEmuRelease(CrKeyEmu *emu)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    emu->pressed = false;
    emu->releaseAfter = 0;
    return true;
}

bool CrKeyEmuSendByte(CrKeyEmu *emu, uint8_t byte)
{
    return WriteByte(emu, byte);
}

void CrKeyEmuSetFault(CrKeyEmu *emu, CrKeyFault fault, int err)
{
    if (fault == CrKeyFault::Open) {
        SetOpenFault(emu, err);
        return;
    }
    std::lock_guard<std::mutex> guard(emu->lock);
    switch (fault) {
    case CrKeyFault::SetPollTime:
        emu->setPollFault = err;
        break;
    case CrKeyFault::GetKeyState:
        emu->getStsFault = err;
        break;
    case CrKeyFault::Read:
        emu->readFault = err;
        break;
    case CrKeyFault::Open:
        break;
    }
}

CrKeyEmuStats CrKeyEmuGetStats(CrKeyEmu *emu)
{
    struct stat st {};
    unsigned opens = stat(TestbedFile(emu, kOpensFile).c_str(), &st) == 0 ? static_cast<unsigned>(st.st_size) : 0;
    std::lock_guard<std::mutex> guard(emu->lock);
    CrKeyEmuStats s = emu->stats;
    s.opens = opens;
    return s;
}

void CrKeyEmuReleaseAfterPolls(CrKeyEmu *emu, unsigned polls)
{
    std::lock_guard<std::mutex> guard(emu->lock);
    emu->releaseAfter = polls;
}
