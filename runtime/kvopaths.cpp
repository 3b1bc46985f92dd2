// kvopaths.cpp - the one table of the controller's fixed paths, and the
// KVO_ROOT prefix that moves them for simulations and tests.
#include "kvopaths.h"

#include <array>
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

// Every module links this table, the board's modules included: the buffers
// are kept small.  A root is a short folder (a temporary one, normally);
// a longer one cannot be taken, and every path then points nowhere.
constexpr size_t kRootMax = 224;
constexpr size_t kBaseMax = 32;
constexpr size_t kPathMax = kRootMax + kBaseMax;

constexpr bool BasesFit()
{
    for (const char *b : kBasePath) {
        size_t n = 0;
        while (b[n] != '\0')
            ++n;
        if (n >= kBaseMax)
            return false;
    }
    return true;
}
static_assert(BasesFit(), "every controller path fits its buffer");

// The root the buffers were built from, and which ids are built: a path is
// built once per root, not on every send.  One buffer per id, so that two
// paths fetched one after the other both stay valid.  (No library types
// here: C modules link this without the C++ library.)
char gRoot[kRootMax];
unsigned gBuilt; // bit per id
static_assert(KVO_PATH_COUNT <= 32, "one bit per path");
char gRooted[KVO_PATH_COUNT][kPathMax];

// A root that does not fit: paths under a folder that cannot exist.
constexpr char kUnusableRoot[] = "/nonexistent/KVO_ROOT-too-long";

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
    // KVO_ROOT is looked up each time: tests change it between cases.
    if (std::strlen(root) >= kRootMax)
        root = kUnusableRoot;
    if (std::strcmp(gRoot, root) != 0) {
        std::snprintf(gRoot, sizeof gRoot, "%s", root);
        gBuilt = 0;
    }
    if ((gBuilt & (1u << id)) == 0) {
        std::snprintf(gRooted[id], sizeof gRooted[id], "%s%s", gRoot, base);
        gBuilt |= 1u << id;
    }
    return gRooted[id];
}
