// kvopaths.cpp - the one table of the controller's fixed paths, and the
// KVO_ROOT prefix that moves them for simulations and tests.
#include "kvopaths.h"

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::array<const char *, KVO_PATH_COUNT> kBasePath = {
    "/tmp/pipe",
    "/tmp/pipe/FifoGdbt",
    "/tmp/pipe/FifoSts",
    "/tmp/pipe/FifoStsp",
    "/tmp/pipe/FifoPare",
    "/tmp/pipe/FifoAuth",
    "/tmp/pipe/FifoDisp",
    "/tmp/pipe/FifoEk",
    "/tmp/pipe/FifoLog",
    "/tmp/pipe/FifoFtp",
    "/usr/local/jx/ap/sys/shm-key",
};

// One buffer per id, so that two paths fetched one after the other both
// stay valid, with the KVO_ROOT each was built from: a path is built once
// per root, not on every send.
char gRooted[KVO_PATH_COUNT][PATH_MAX];
char gRootOf[KVO_PATH_COUNT][PATH_MAX];

} // namespace

extern "C" const char *KvoBasePath(KvoPathId id)
{
    if (id < 0 || id >= KVO_PATH_COUNT)
        return "";
    return kBasePath[id];
}

extern "C" const char *KvoPath(KvoPathId id)
{
    const char *base = KvoBasePath(id);
    const char *root = std::getenv("KVO_ROOT");
    if (root == nullptr || root[0] == '\0' || base[0] == '\0')
        return base;
    // KVO_ROOT is looked up each time (tests change it between cases), the
    // path rebuilt only when it changed.  A root too long for PATH_MAX is
    // cut, which makes every open fail rather than reach a different file.
    if (gRooted[id][0] == '\0' || std::strcmp(gRootOf[id], root) != 0) {
        std::snprintf(gRootOf[id], sizeof gRootOf[id], "%s", root);
        std::snprintf(gRooted[id], sizeof gRooted[id], "%s%s", root, base);
    }
    return gRooted[id];
}
