// fuzz_fiforead.cpp - the command handler FifoReadFunc in any guard state and
// configuration.  Input: 11 header bytes (0 iGdSts mod 3, 1 iFuncFlg, 2..3
// iPutTime, 4..7 the OTHER parent-mode word, 8 CONFIG auth flag, 9 CONFIG guard
// button, 10 OTHER hold inhibit), then up to four frames, each a length byte (0:
// an empty read, 255: 256 bytes) and the bytes one read delivers.  The peers'
// FIFOs (private KVO_ROOT) are held read-write, so every send completes.  What a
// command must do is the scenarios'; here, after every frame:
//  - the result is 0, or 2 for a termination order (900 with 0 or 1);
//  - iGdSts stays in 0..2, iPutTime never changes, iFuncFlg changes only by
//    413 from module 80, and then to 0 or 1;
//  - every frame sent is 256 bytes, from "052", with a three-digit command id.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "fuzzcommon.h"
#include "gdbt.h"

namespace {

struct Rig {
    int peer[KVO_PATH_FIFO_FTP + 1]; // by path id, from FifoSts
    int cmd[2];
    ProcInfo info;
    unsigned char config[KVO_CONFIG_SIZE], other[KVO_OTHER_SIZE]; // exactly the segment sizes
};

void RemoveRoot() // a crash leaves the folder for the script to sweep
{
    const char *root = std::getenv("KVO_ROOT");
    if (root != nullptr && std::strncmp(root, "/tmp/kvofuzz.", 13) == 0)
        (void)!std::system((std::string("rm -rf '") + root + "'").c_str());
}

Rig &Setup()
{
    static Rig *rig = [] {
        Rig *r = static_cast<Rig *>(std::calloc(1, sizeof(Rig)));
        char tmpl[] = "/tmp/kvofuzz.XXXXXX";
        if (r == nullptr || mkdtemp(tmpl) == nullptr || pipe2(r->cmd, O_NONBLOCK | O_CLOEXEC) != 0)
            std::abort();
        FuzzQuietLog();
        setenv("KVO_ROOT", tmpl, 1);
        mkdir((std::string(tmpl) + "/tmp").c_str(), 0777);
        mkdir(KvoPath(KVO_PATH_FIFO_DIR), 0777);
        for (int p = KVO_PATH_FIFO_STS; p <= KVO_PATH_FIFO_FTP; ++p) {
            mkfifo(KvoPath(KvoPathId(p)), 0666);
            if ((r->peer[p] = open(KvoPath(KvoPathId(p)), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0)
                std::abort();
        }
        r->info.pConfigData = r->config;
        r->info.pOtherData = r->other;
        std::atexit(RemoveRoot);
        return r;
    }();
    return *rig;
}

void OneFrame(Rig &rig, const uint8_t *frame, size_t len)
{
    if (len > 0 && write(rig.cmd[1], frame, len) != static_cast<ssize_t>(len))
        FuzzFail("command pipe write of %zu bytes failed", len);
    unsigned char whole[FIFO_MSG_SIZE] = {};
    std::memcpy(whole, frame, len);
    const int mid = Atoi3(whole), cid = Atoi3(whole + 3);
    const bool fromSts = len > 0 && mid == MODID_STS;
    const GdbtLocalInfo before = gstLocalInfo;
    rig.info.iSelectDes = rig.cmd[0];
    int r = FifoReadFunc(&rig.info);
    if (r != (fromSts && cid == CMDID_TERMINATE && whole[6] <= 1 ? KVO_SELECT_END : KVO_SELECT_SERVED))
        FuzzFail("frame %03d/%03d data[0]=%d: result %d", mid, cid, whole[6], r);
    if (gstLocalInfo.iGdSts < 0 || gstLocalInfo.iGdSts > 2)
        FuzzFail("iGdSts left at %d", gstLocalInfo.iGdSts);
    if (gstLocalInfo.iPutTime != before.iPutTime)
        FuzzFail("iPutTime changed from %d to %d by a command", before.iPutTime, gstLocalInfo.iPutTime);
    if (gstLocalInfo.iFuncFlg != before.iFuncFlg &&
        !(fromSts && cid == CMDID_GDBT_FUNC && (gstLocalInfo.iFuncFlg == 0 || gstLocalInfo.iFuncFlg == 1)))
        FuzzFail("iFuncFlg changed from %d to %d by %03d/%03d", before.iFuncFlg, gstLocalInfo.iFuncFlg, mid, cid);
    for (int p = KVO_PATH_FIFO_STS; p <= KVO_PATH_FIFO_FTP; ++p) {
        unsigned char f[FIFO_MSG_SIZE];
        for (ssize_t n; (n = read(rig.peer[p], f, FIFO_MSG_SIZE)) > 0;)
            if (n != FIFO_MSG_SIZE || std::memcmp(f, "052", 3) != 0 || !std::isdigit(f[3]) || !std::isdigit(f[4]) ||
                !std::isdigit(f[5]))
                FuzzFail("%s: a read of %zd bytes with ids '%.6s'", KvoPath(KvoPathId(p)), n,
                         reinterpret_cast<char *>(f));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    constexpr size_t kHeader = 11;
    if (size < kHeader)
        return 0;
    Rig &rig = Setup();
    gstLocalInfo.iGdSts = in[0] % 3;
    // iFuncFlg mostly on, often off, sometimes an odd value that counts as off.
    gstLocalInfo.iFuncFlg = in[1] % 4 == 0 ? 0 : in[1] % 4 == 3 ? static_cast<int8_t>(in[1]) : 1;
    gstLocalInfo.iPutTime = static_cast<int16_t>(in[2] << 8 | in[3]);
    std::memcpy(rig.other + KVO_OTHER_PARENT_MODE_OFF, in + 4, 4);
    rig.config[KVO_CONFIG_AUTH_FLAG_OFF] = in[8];
    rig.config[KVO_CONFIG_GUARD_BUTTON_OFF] = in[9];
    rig.other[KVO_OTHER_HOLD_INHIBIT_OFF] = in[10];
    for (size_t i = kHeader, frames = 0; frames < 4 && i < size; ++frames) {
        size_t len = std::min(in[i] == 255 ? size_t{FIFO_MSG_SIZE} : in[i], size - i - 1);
        OneFrame(rig, in + i + 1, len);
        i += 1 + len;
    }
    return 0;
}
