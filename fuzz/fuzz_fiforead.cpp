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
// after each frame.  Checked after every frame:
//  - the result is 0 or 2, and 2 exactly for the termination order;
//  - iGdSts stays in {0,1,2}; iPutTime never changes; iFuncFlg changes only
//    by 413 from module 80, and then to 0 or 1;
//  - every frame sent is 256 bytes with sender "052" and a three-digit
//    command id that belongs to the FIFO it went to;
//  - what went to each FIFO, and the state after the call, are what the
//    command table of the guard sequence prescribes (a small reference model
//    below), byte for byte except the date and time of the guard log record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzcommon.h"
#include "gdbt.h"

namespace {

using Data = std::array<char, FIFO_MSG_DATA_SIZE>;

enum Peer { P_STS, P_STSP, P_PARE, P_AUTH, P_DISP, P_EK, P_LOG, P_FTP, P_COUNT };
constexpr KvoPathId kPeerPath[P_COUNT] = {KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP, KVO_PATH_FIFO_PARE,
                                          KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_DISP, KVO_PATH_FIFO_EK,
                                          KVO_PATH_FIFO_LOG,  KVO_PATH_FIFO_FTP};
constexpr const char *kPeerName[P_COUNT] = {"Sts", "Stsp", "Pare", "Auth", "Disp", "Ek", "Log", "Ftp"};

struct Sent {
    int cid;
    Data data;
};

struct Rig {
    std::string root;
    int peer[P_COUNT];
    int cmd[2];
    ProcInfo *info;
    std::vector<unsigned char> config, other; // exactly the segment sizes
};

void RemoveRoot()
{
    // Set by Setup; a crash leaves the folder for the script to sweep.
    const char *root = std::getenv("KVO_ROOT");
    if (root != nullptr && std::strncmp(root, "/tmp/kvofuzz.", 13) == 0) {
        std::string cmd = std::string("rm -rf '") + root + "'";
        (void)!std::system(cmd.c_str());
    }
}

Rig &Setup()
{
    static Rig rig = [] {
        Rig r;
        FuzzQuietLog();
        char tmpl[] = "/tmp/kvofuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            std::abort();
        r.root = tmpl;
        setenv("KVO_ROOT", tmpl, 1);
        mkdir((r.root + "/tmp").c_str(), 0777);
        mkdir((r.root + "/tmp/pipe").c_str(), 0777);
        for (int p = 0; p < P_COUNT; ++p) {
            if (mkfifo(KvoPath(kPeerPath[p]), 0666) != 0)
                std::abort();
            r.peer[p] = open(KvoPath(kPeerPath[p]), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (r.peer[p] < 0)
                std::abort();
        }
        if (pipe2(r.cmd, O_NONBLOCK | O_CLOEXEC) != 0)
            std::abort();
        r.info = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
        r.config.assign(KVO_CONFIG_SIZE, '0');
        r.other.assign(KVO_OTHER_SIZE, 0);
        r.info->pConfigData = r.config.data();
        r.info->pOtherData = r.other.data();
        std::atexit(RemoveRoot);
        return r;
    }();
    return rig;
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

// ---- the reference: what one received frame must cause ----

struct Model {
    int32_t gdSts, funcFlg;
    int32_t parentMode;
    unsigned char authFlag;
    std::vector<Sent> sent[P_COUNT];
    Data buf;

    void Send(Peer p, int cid) { sent[p].push_back({cid, buf}); }
    void Text(const char *s) { std::memcpy(buf.data(), s, std::strlen(s)); }
    void GuardLog()
    {
        Sent s{CMDID_GUARD_LOG, {}};
        s.data.fill(' ');
        s.data[16] = 4;
        s.data[17] = 0;
        sent[P_LOG].push_back(s);
    }

    int Run(int mid, int cid, const unsigned char *d)
    {
        buf.fill(' ');
        if (mid == MODID_STS && cid != CMDID_GDBT_CON_NTF) {
            switch (cid) {
            case CMDID_TERMINATE:
                if (d[0] <= 1)
                    return KVO_SELECT_END;
                break;
            case CMDID_ALIVE_REQ: Send(P_STS, CMDID_ALIVE_ANS); break;
            case CMDID_WAKEUP_REQ:
                Text("0000312");
                Send(P_STSP, CMDID_WAKEUP_COMP);
                break;
            case CMDID_GDBT_FUNC:
                if (d[0] <= 1)
                    funcFlg = d[0];
                break;
            default: break;
            }
            return 0;
        }
        if (funcFlg != 1)
            return 0;
        if (parentMode != 0) {
            if (mid == MODID_PARE && cid == CMDID_PARE_GUARD_ANS && gdSts == 1) {
                if (d[0] == 2) {
                    Text("0619 00000000");
                    Send(P_DISP, CMDID_DISP_MSG);
                }
                gdSts = 0;
            }
            return 0;
        }
        if (mid == MODID_PARE && cid == CMDID_PARE_IO_REQ) {
            if (authFlag == '0') {
                if (gdSts != 1) {
                    Text("052");
                    Send(P_STS, CMDID_IO_STSREQ);
                    gdSts = 2;
                }
            } else {
                buf[0] = static_cast<char>(authFlag - '0');
                Send(P_PARE, CMDID_PARE_GUARD_NTF);
                buf[0] = 0;
                buf[1] = 1;
                Send(P_AUTH, CMDID_AUTH_GUARD);
            }
        } else if (mid == MODID_STS && cid == CMDID_GDBT_CON_NTF) {
            unsigned char loop = d[2];
            if (gdSts == 1 && loop == 1) {
                buf[0] = 1;
                buf[1] = 0;
                Send(P_AUTH, CMDID_AUTH_GUARD);
            } else if (gdSts == 1 && loop == 0) {
                Text("0619 00000000");
                Send(P_DISP, CMDID_DISP_MSG);
                GuardLog();
            } else if (gdSts == 2 && loop == 1) {
                buf[0] = 0;
                Send(P_PARE, CMDID_PARE_GUARD_NTF);
                buf[0] = 1;
                buf[1] = 1;
                Send(P_AUTH, CMDID_AUTH_GUARD);
            } else if (gdSts == 2 && loop == 0) {
                buf[0] = 2;
                GuardLog();
                Send(P_PARE, CMDID_PARE_GUARD_NTF);
            }
            gdSts = 0;
        }
        return 0;
    }
};

bool CidBelongs(Peer p, int cid)
{
    switch (p) {
    case P_STS: return cid == CMDID_ALIVE_ANS || cid == CMDID_IO_STSREQ;
    case P_STSP: return cid == CMDID_WAKEUP_COMP;
    case P_PARE: return cid == CMDID_PARE_GUARD_NTF;
    case P_AUTH: return cid == CMDID_AUTH_GUARD;
    case P_DISP: return cid == CMDID_DISP_MSG;
    case P_LOG: return cid == CMDID_GUARD_LOG;
    default: return false;
    }
}

int Atoi3(const unsigned char *p)
{
    char s[4] = {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]), 0};
    return std::atoi(s);
}

// Reads everything the service sent to one peer and checks the framing.
std::vector<Sent> Drain(int fd, Peer p)
{
    std::vector<unsigned char> bytes;
    unsigned char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    if (bytes.size() % FIFO_MSG_SIZE != 0)
        FuzzFail("Fifo%s received %zu bytes, not whole frames", kPeerName[p], bytes.size());
    std::vector<Sent> out;
    for (size_t off = 0; off < bytes.size(); off += FIFO_MSG_SIZE) {
        const unsigned char *f = bytes.data() + off;
        if (std::memcmp(f, "052", 3) != 0)
            FuzzFail("Fifo%s: sender id '%.3s', not 052", kPeerName[p], reinterpret_cast<const char *>(f));
        for (int i = 3; i < 6; ++i)
            if (!std::isdigit(f[i]))
                FuzzFail("Fifo%s: command id '%.3s' is not three digits", kPeerName[p],
                         reinterpret_cast<const char *>(f + 3));
        Sent s{Atoi3(f + 3), {}};
        std::memcpy(s.data.data(), f + 6, FIFO_MSG_DATA_SIZE);
        if (!CidBelongs(p, s.cid))
            FuzzFail("Fifo%s received command %d, which does not go there", kPeerName[p], s.cid);
        out.push_back(s);
    }
    return out;
}

bool SameData(int cid, const Data &want, const Data &got)
{
    if (cid != CMDID_GUARD_LOG)
        return want == got;
    for (int i = 0; i < 14; ++i)
        if (!std::isdigit(static_cast<unsigned char>(got[i])))
            return false;
    return std::memcmp(want.data() + 14, got.data() + 14, FIFO_MSG_DATA_SIZE - 14) == 0;
}

void CompareSends(Rig &rig, const Model &m, int mid, int cid)
{
    for (int p = 0; p < P_COUNT; ++p) {
        std::vector<Sent> got = Drain(rig.peer[p], static_cast<Peer>(p));
        const std::vector<Sent> &want = m.sent[p];
        if (got.size() != want.size())
            FuzzFail("frame %03d/%03d: Fifo%s received %zu frames, expected %zu", mid, cid,
                     kPeerName[p], got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i].cid != want[i].cid || !SameData(want[i].cid, want[i].data, got[i].data))
                FuzzFail("frame %03d/%03d: Fifo%s frame %zu is %d [%02x %02x %02x], expected %d "
                         "[%02x %02x %02x]", mid, cid, kPeerName[p], i, got[i].cid,
                         got[i].data[0] & 0xff, got[i].data[1] & 0xff, got[i].data[2] & 0xff,
                         want[i].cid, want[i].data[0] & 0xff, want[i].data[1] & 0xff,
                         want[i].data[2] & 0xff);
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

    Model m{gstLocalInfo.iGdSts, gstLocalInfo.iFuncFlg, KvoOtherParentMode(rig.info->pOtherData),
            KvoConfigAuthFlag(rig.info->pConfigData), {}, {}};
    int want = len > 0 ? m.Run(mid, cid, whole + 6) : 0;
    const GdbtLocalInfo before = gstLocalInfo;

    rig.info->iSelectDes = rig.cmd[0];
    int r = FifoReadFunc(rig.info);

    if (r != KVO_SELECT_SERVED && r != KVO_SELECT_END)
        FuzzFail("FifoReadFunc returned %d", r);
    if (r != want)
        FuzzFail("frame %03d/%03d data[0]=%d: result %d, expected %d", mid, cid, whole[6], r, want);
    if (gstLocalInfo.iGdSts < 0 || gstLocalInfo.iGdSts > 2)
        FuzzFail("iGdSts left at %d", gstLocalInfo.iGdSts);
    if (gstLocalInfo.iPutTime != before.iPutTime)
        FuzzFail("iPutTime changed from %d to %d by a command", before.iPutTime, gstLocalInfo.iPutTime);
    if (gstLocalInfo.iFuncFlg != before.iFuncFlg &&
        !(len > 0 && mid == MODID_STS && cid == CMDID_GDBT_FUNC &&
          (gstLocalInfo.iFuncFlg == 0 || gstLocalInfo.iFuncFlg == 1)))
        FuzzFail("iFuncFlg changed from %d to %d by %03d/%03d", before.iFuncFlg,
                 gstLocalInfo.iFuncFlg, mid, cid);
    if (r != KVO_SELECT_END && (gstLocalInfo.iGdSts != m.gdSts || gstLocalInfo.iFuncFlg != m.funcFlg))
        FuzzFail("frame %03d/%03d from iGdSts %d: state (%d,%d), expected (%d,%d)", mid, cid,
                 before.iGdSts, gstLocalInfo.iGdSts, gstLocalInfo.iFuncFlg, m.gdSts, m.funcFlg);
    CompareSends(rig, m, mid, cid);
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
    std::memcpy(rig.other.data() + KVO_OTHER_PARENT_MODE_OFF, in + 4, 4);
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
