// The controller's fixed paths: exactly the documented ones without
// KVO_ROOT, under it with it, rebuilt when it changes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kvomessaging.h"
#include "kvopaths.h"

namespace {

struct PathCase {
    KvoPathId id;
    const char *path;
};

constexpr PathCase kPaths[] = {
    {KVO_PATH_FIFO_DIR, "/tmp/pipe"},
    {KVO_PATH_FIFO_GDBT, "/tmp/pipe/FifoGdbt"},
    {KVO_PATH_FIFO_STS, "/tmp/pipe/FifoSts"},
    {KVO_PATH_FIFO_STSP, "/tmp/pipe/FifoStsp"},
    {KVO_PATH_FIFO_PARE, "/tmp/pipe/FifoPare"},
    {KVO_PATH_FIFO_AUTH, "/tmp/pipe/FifoAuth"},
    {KVO_PATH_FIFO_DISP, "/tmp/pipe/FifoDisp"},
    {KVO_PATH_FIFO_EK, "/tmp/pipe/FifoEk"},
    {KVO_PATH_FIFO_LOG, "/tmp/pipe/FifoLog"},
    {KVO_PATH_FIFO_FTP, "/tmp/pipe/FifoFtp"},
    {KVO_PATH_SHM_KEY, "/usr/local/jx/ap/sys/shm-key"},
};

class FixedPaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *r = std::getenv("KVO_ROOT");
        had_ = r != nullptr;
        if (had_)
            saved_ = r;
    }
    void TearDown() override
    {
        if (had_)
            setenv("KVO_ROOT", saved_.c_str(), 1);
        else
            unsetenv("KVO_ROOT");
    }

private:
    bool had_ = false;
    std::string saved_;
};

} // namespace

TEST_F(FixedPaths, WithoutRootAreTheControllersOwn)
{
    for (const char *root : {static_cast<const char *>(nullptr), ""}) {
        if (root == nullptr)
            unsetenv("KVO_ROOT");
        else
            setenv("KVO_ROOT", root, 1);
        for (const PathCase &c : kPaths) {
            EXPECT_STREQ(c.path, KvoPath(c.id));
            EXPECT_STREQ(c.path, KvoBasePath(c.id));
        }
        EXPECT_STREQ("/tmp/pipe/FifoSts", FIFO_NAME_STS);
    }
}

TEST_F(FixedPaths, FollowTheRootAndItsChanges)
{
    setenv("KVO_ROOT", "/tmp/a", 1);
    const char *gdbt = KvoPath(KVO_PATH_FIFO_GDBT);
    const char *key = KvoPath(KVO_PATH_SHM_KEY);
    EXPECT_STREQ("/tmp/a/tmp/pipe/FifoGdbt", gdbt); // both stay valid together
    EXPECT_STREQ("/tmp/a/usr/local/jx/ap/sys/shm-key", key);
    setenv("KVO_ROOT", "/tmp/bb", 1);
    for (const PathCase &c : kPaths)
        EXPECT_EQ(std::string("/tmp/bb") + c.path, KvoPath(c.id));
    unsetenv("KVO_ROOT");
    EXPECT_STREQ("/tmp/pipe/FifoGdbt", KvoPath(KVO_PATH_FIFO_GDBT));
}

// A root too long for the buffers never yields a cut-off path that could
// name some other existing file.
TEST_F(FixedPaths, OverlongRootPointsNowhere)
{
    std::string root = "/tmp/" + std::string(400, 'x');
    setenv("KVO_ROOT", root.c_str(), 1);
    std::string p = KvoPath(KVO_PATH_FIFO_STS);
    EXPECT_EQ(0u, p.rfind("/nonexistent/", 0)) << p;
    EXPECT_NE(std::string::npos, p.find("/tmp/pipe/FifoSts"));
}
