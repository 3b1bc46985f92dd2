// The log's opt-in file target: one record per line with facility and
// priority, ident and the writing process's pid, and the mask applied.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "kvolog.h"

namespace {

std::vector<std::string> ReadLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

std::string Record(int pid, const char *text)
{
    return "<" + std::to_string(LOG_LOCAL4 | LOG_INFO) + ">KVOTEST[" + std::to_string(pid) + "]: " + text;
}

} // namespace

TEST(LogFileTarget, OneRecordPerLineWithTheWritersPid)
{
    char path[] = "/tmp/kvolog.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("KVO_LOG_TARGET", (std::string("file:") + path).c_str(), 1);
    ComLogOpen("KVOTEST", LOG_PID, LOG_LOCAL4);
    int old = ComLogSetMask(LOG_UPTO(LOG_INFO));

    EXPECT_TRUE(ComLogEnabled(LOG_INFO));
    EXPECT_FALSE(ComLogEnabled(LOG_DEBUG));
    ComLog(LOG_INFO, "value %d\n", 7);
    ComLog(LOG_DEBUG, "masked\n");
    ComLog(LOG_INFO, "no line feed");
    pid_t child = fork();
    if (child == 0) {
        ComLog(LOG_INFO, "from the child\n");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ComLogClose();
    ComLogSetMask(old);
    unsetenv("KVO_LOG_TARGET");

    std::vector<std::string> want = {Record(getpid(), "value 7"), Record(getpid(), "no line feed"),
                                     Record(child, "from the child")};
    EXPECT_EQ(ReadLines(path), want);
    std::remove(path);
}
