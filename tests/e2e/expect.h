// expect.h - assertions over what the service sends and logs, in terms of
// the rig.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "rig.h"

// The next frame at fifo comes from module 52 with command cid and exactly
// these 250 data bytes.
inline ::testing::AssertionResult Sent(Rig &rig, KvoPathId fifo, int cid, const std::string &data)
{
    Frame f;
    if (!rig.WaitFrame(fifo, &f))
        return ::testing::AssertionFailure() << "no frame at " << PeerName(fifo) << "\n" << rig.LogDump();
    if (f.mid != 52 || f.cid != cid || f.data != data)
        return ::testing::AssertionFailure() << "at " << PeerName(fifo) << ": got " << Describe(f) << ", want "
                                             << Describe(Frame{52, cid, data});
    return ::testing::AssertionSuccess();
}

// No frame reaches any peer within ms.
inline ::testing::AssertionResult NothingSent(Rig &rig, int ms = kQuietMs)
{
    auto frames = rig.AnyFrames(ms);
    if (frames.empty())
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "unexpected frames:";
    for (const auto &p : frames)
        failure << "\n  " << PeerName(p.fifo) << ": " << Describe(p.frame);
    return failure;
}

// A line with this text (priority 6 unless given) appears in time.
inline ::testing::AssertionResult Logged(const Rig &rig, const std::string &text, int pri = 6)
{
    if (rig.WaitLog(text, pri))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not logged at " << pri << ": " << text << "\n" << rig.LogDump();
}

// Index of the first log line with this text, or -1.
inline int LogIndex(const Rig &rig, const std::string &text)
{
    auto log = rig.Log();
    std::string want = !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].text == want)
            return static_cast<int>(i);
    return -1;
}

// FifoReadFunc's format error line with its number.
inline std::string FormatError(int number, int mid, int cid, int data0)
{
    char line[128];
    std::snprintf(line, sizeof line, "%05d,FifoReadFunc,message format err(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)",
                  number, mid, cid, data0);
    return line;
}

// Starts the service and checks the start-up report.
#define ASSERT_STARTED(rig)                                                                                 \
    do {                                                                                                    \
        ASSERT_EQ((rig).Error(), "");                                                                       \
        std::string started_result;                                                                         \
        ASSERT_TRUE((rig).StartAndWait(&started_result)) << (rig).LogDump();                               \
        ASSERT_EQ(started_result, "000") << (rig).LogDump();                                               \
    } while (0)
