// fuzz_fiforead.cpp - libFuzzer harness for the command handler FifoReadFunc.
//
// Input: an 11-byte header, then up to four frames.
//   0      iGdSts (mod 3)          1     iFuncFlg (see FuncFlgFrom)
//   2..3   iPutTime                4..7  OTHER word at byte 4 (parent mode)
//   8      CONFIG byte 27722 (authentication flag)
//   9      CONFIG byte 27648       10    OTHER byte 189
//   then per frame a length byte (0: an empty read, 255: 256 bytes, else that
//   many) and the bytes that one read of the command FIFO delivers.
// The peers' FIFOs live under a private KVO_ROOT and are held open for
// reading and writing, so every send completes at once; they are drained
// after each frame.  What each command must do is the scenarios' to say;
// here, after every frame, the invariants that no input may break:
//  - the result is 0, or 2 for a termination order (900 with 0 or 1);
//  - iGdSts stays in {0,1,2}; iPutTime never changes; iFuncFlg changes only
//    by 413 from module 80, and then to 0 or 1;
//  - every frame sent is exactly 256 bytes, from "052", with a three-digit
//    command id.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzcommon.h"
#include "gdbt.h"

namespace {

struct Rig {
    int peer[KVO_PATH_FIFO_FTP + 1]; // by path id, from FifoSts
    int cmd[2];
    ProcInfo *info;
    unsigned char config[KVO_CONFIG_SIZE], other[KVO_OTHER_SIZE]; // exactly the segment sizes
};

void RemoveRoot()
{
    // Set by Setup; a crash leaves the folder for the script to sweep.
    const char *root = std::getenv("KVO_ROOT");
    if (root != nullptr && std::strncmp(root, "/tmp/kvofuzz.", 13) == 0)
        (void)!std::system((std::string("rm -rf '") + root + "'").c_str());
}

Rig &Setup()
{
    static Rig *rig = [] {
        Rig *r = static_cast<Rig *>(std::calloc(1, sizeof(Rig)));
        FuzzQuietLog();
        char tmpl[] = "/tmp/kvofuzz.XXXXXX";
        if (r == nullptr || mkdtemp(tmpl) == nullptr)
            std::abort();
        setenv("KVO_ROOT", tmpl, 1);
        mkdir((std::string(tmpl) + "/tmp").c_str(), 0777);
        mkdir(KvoPath(KVO_PATH_FIFO_DIR), 0777);
        for (int p = KVO_PATH_FIFO_STS; p <= KVO_PATH_FIFO_FTP; ++p) {
            mkfifo(KvoPath(KvoPathId(p)), 0666);
            if ((r->peer[p] = open(KvoPath(KvoPathId(p)), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0)
                std::abort();
        }
        if (pipe2(r->cmd, O_NONBLOCK | O_CLOEXEC) != 0)
            std::abort();
        r->info = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
        r->info->pConfigData = r->config;
        r->info->pOtherData = r->other;
        std::atexit(RemoveRoot);
        return r;
    }();
    return *rig;
}

// Mostly on, often off, sometimes an odd value that counts as off.
int32_t FuncFlgFrom(uint8_t b)
{
    switch (b % 4) {
    case 0: return 0;
    case 3: return static_cast<int8_t>(b);
    default: return 1;
    }
}

int Atoi3(const unsigned char *p)
{
    char s[4] = {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]), 0};
    return std::atoi(s);
}

// Reads everything the service sent to each peer and checks the framing.
void CheckSent(Rig &rig)
{
    for (int p = KVO_PATH_FIFO_STS; p <= KVO_PATH_FIFO_FTP; ++p) {
        unsigned char f[FIFO_MSG_SIZE + 1];
        const char *name = KvoPath(KvoPathId(p));
        for (ssize_t n; (n = read(rig.peer[p], f, FIFO_MSG_SIZE)) > 0;) {
            if (n != FIFO_MSG_SIZE)
                FuzzFail("%s: a read of %zd bytes, not a whole frame", name, n);
            f[FIFO_MSG_SIZE] = 0;
            if (std::memcmp(f, "052", 3) != 0 || !std::isdigit(f[3]) || !std::isdigit(f[4]) || !std::isdigit(f[5]))
                FuzzFail("%s: ids '%.6s', not 052 and a three-digit command", name, reinterpret_cast<char *>(f));
        }
    }
}

void OneFrame(Rig &rig, const uint8_t *frame, size_t len)
{
    if (len > 0 && write(rig.cmd[1], frame, len) != static_cast<ssize_t>(len))
        FuzzFail("command pipe write of %zu bytes failed", len);
    unsigned char whole[FIFO_MSG_SIZE] = {};
    std::memcpy(whole, frame, len);
    int mid = Atoi3(whole), cid = Atoi3(whole + 3);
    bool terminate = len > 0 && mid == MODID_STS && cid == CMDID_TERMINATE && whole[6] <= 1;
    const GdbtLocalInfo before = gstLocalInfo;

    rig.info->iSelectDes = rig.cmd[0];
    int r = FifoReadFunc(rig.info);

    if (r != (terminate ? KVO_SELECT_END : KVO_SELECT_SERVED))
        FuzzFail("frame %03d/%03d data[0]=%d: result %d", mid, cid, whole[6], r);
    if (gstLocalInfo.iGdSts < 0 || gstLocalInfo.iGdSts > 2)
        FuzzFail("iGdSts left at %d", gstLocalInfo.iGdSts);
    if (gstLocalInfo.iPutTime != before.iPutTime)
        FuzzFail("iPutTime changed from %d to %d by a command", before.iPutTime, gstLocalInfo.iPutTime);
    if (gstLocalInfo.iFuncFlg != before.iFuncFlg &&
        !(len > 0 && mid == MODID_STS && cid == CMDID_GDBT_FUNC &&
          (gstLocalInfo.iFuncFlg == 0 || gstLocalInfo.iFuncFlg == 1)))
        FuzzFail("iFuncFlg changed from %d to %d by %03d/%03d", before.iFuncFlg,
                 gstLocalInfo.iFuncFlg, mid, cid);
    CheckSent(rig);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    constexpr size_t kHeader = 11;
    if (size < kHeader)
        return 0;
    Rig &rig = Setup();
    gstLocalInfo.iGdSts = in[0] % 3;
    gstLocalInfo.iFuncFlg = FuncFlgFrom(in[1]);
    gstLocalInfo.iPutTime = static_cast<int16_t>(in[2] << 8 | in[3]);
    std::memcpy(rig.other + KVO_OTHER_PARENT_MODE_OFF, in + 4, 4);
    rig.config[KVO_CONFIG_AUTH_FLAG_OFF] = in[8];
    rig.config[KVO_CONFIG_GUARD_BUTTON_OFF] = in[9];
    rig.other[KVO_OTHER_HOLD_INHIBIT_OFF] = in[10];

    size_t i = kHeader;
    for (int frames = 0; frames < 4 && i < size; ++frames) {
        size_t len = in[i] == 255 ? size_t{FIFO_MSG_SIZE} : in[i];
        ++i;
        if (len > size - i)
            len = size - i;
        OneFrame(rig, in + i, len);
        i += len;
    }
    return 0;
}
