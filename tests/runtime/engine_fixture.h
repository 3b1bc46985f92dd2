// engine_fixture.h - a fresh, zero-filled record per test with the timer
// signal handler installed; the signal mask, the SIGUSR1 action, the wait
// mask and pProcInfoCom are put back afterwards.  SIGUSR1 stays blocked
// outside the waits a test makes, so no expiry lands in the middle of test
// code.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "kvoruntime.h"
#include "logcapture.h"

// Handler calls of the current test, in order.
extern std::vector<std::string> gCalls;

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A pipe closed at teardown: {read end, write end}.
    std::vector<int> Pipe();
    // Registers a new pipe's read end as application descriptor `index`;
    // returns the write end.
    int AddAppPipe(int index, SelectProc proc);

    ProcInfo *p = nullptr;
    LogCapture logs;

private:
    std::vector<int> ownFds_;
    sigset_t savedMask_;
    struct sigaction savedAct_;
};

// Writes one byte to fd (a timer handle or an application pipe).
void PutByte(int fd);
// Bytes waiting in a pipe.
int Pending(int fd);
// Queues SIGUSR1 to this process marked as a POSIX timer expiry (SI_TIMER)
// with the value, as the kernel delivers one; 0 on success.
int QueueTimerSignal(int value);
// SIGUSR1 unblocked for a moment, so that a pending one is handled now.
void DeliverPendingUsr1();
