// names.cpp - the peer FIFO table and module-name lookups (the module
// table itself belongs to the runtime).
#include "names.h"

#include <array>
#include <cctype>

#include "kvomessaging.h"
#include "kvoruntime.h"
#include "numbers.h"

namespace {

constexpr std::array<PeerFifo, 9> kPeers = {{
    {"FifoGdbt", KVO_PATH_FIFO_GDBT, MODID_GDBT, "gdbt", nullptr},
    {"FifoSts", KVO_PATH_FIFO_STS, MODID_STS, "sts", "status"},
    {"FifoStsp", KVO_PATH_FIFO_STSP, MODID_STS, "stsp", nullptr},
    {"FifoPare", KVO_PATH_FIFO_PARE, MODID_PARE, "pare", "parent"},
    {"FifoAuth", KVO_PATH_FIFO_AUTH, MODID_AUTH, "auth", nullptr},
    {"FifoDisp", KVO_PATH_FIFO_DISP, MODID_DISP, "disp", "display"},
    {"FifoEk", KVO_PATH_FIFO_EK, MODID_EK, "ek", nullptr},
    {"FifoLog", KVO_PATH_FIFO_LOG, MODID_LOG, "log", nullptr},
    {"FifoFtp", KVO_PATH_FIFO_FTP, MODID_FTP, "ftp", nullptr},
}};

bool Same(const char *name, const std::string &lowered)
{
    return name != nullptr && Lower(name) == lowered;
}

} // namespace

std::string Lower(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const PeerFifo *PeerFifos(size_t *count)
{
    *count = kPeers.size();
    return kPeers.data();
}

int PeerIndex(const PeerFifo *peer)
{
    return peer == nullptr ? -1 : static_cast<int>(peer - kPeers.data());
}

const PeerFifo *FindPeer(const std::string &text)
{
    std::string t = Lower(text);
    for (const PeerFifo &p : kPeers)
        if (Same(p.fifo, t) || Same(p.alias, t) || Same(p.alias2, t))
            return &p;
    // A module stands for its first FIFO (the status module's is FifoSts).
    int modId = -1;
    if (!ParseModule(text, &modId))
        return nullptr;
    for (const PeerFifo &p : kPeers)
        if (p.modId == modId)
            return &p;
    return nullptr;
}

std::string ModuleLabel(int modId)
{
    const char *name = ComModuleName(modId);
    return name != nullptr ? name : "module " + std::to_string(modId);
}

bool ParseModule(const std::string &text, int *modId)
{
    long n = 0;
    if (ParseLong(text, 0, FIFO_MSG_ID_MAX, &n)) {
        *modId = static_cast<int>(n);
        return true;
    }
    std::string t = Lower(text);
    for (int row = 0; row < KVO_MODULE_COUNT; ++row) {
        if (Same(mod_name_tbl[row], t) || Same(mod_name_tbl[row], "kvo" + t)) {
            *modId = mod_id_tbl[row];
            return true;
        }
    }
    for (const PeerFifo &p : kPeers) {
        if (Same(p.alias2, t)) {
            *modId = p.modId;
            return true;
        }
    }
    return false;
}
