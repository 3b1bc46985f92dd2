// msgtest.h - what the messaging tests share: a peer holding a FIFO, frame
// texts, the expected error lines, and a log sink a test can act from.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "kvomessaging.h"
#include "kvoruntime.h"
#include "logcapture.h"

// A receiving module: holds its FIFO open for reading and writing,
// non-blocking, so that senders always find a reader.
class FifoPeer {
public:
    explicit FifoPeer(const char *path);
    ~FifoPeer();
    FifoPeer(const FifoPeer &) = delete;
    FifoPeer &operator=(const FifoPeer &) = delete;

    int Fd() const { return fd_; }
    // Every byte the FIFO holds now.
    std::string ReadAll() const;
    // Writes 256-byte frames until the FIFO is full; the number written.
    int Fill() const;

private:
    int fd_;
};

// 250 data bytes: text followed by spaces.
std::string Data(const std::string &text);
// A whole frame: six id characters, then Data(text).
std::string Frame(const std::string &ids, const std::string &text);

// "FIFO read open error (...)", "FIFO write open error (...)" and
// "FIFO write error (...)" lines as the sender logs them.
std::string ReadOpenError(const std::string &path, int err);
std::string WriteOpenError(const std::string &path, int err);
std::string WriteError(const std::string &path, int err);
std::string Trace(const char *which, int line, const char *func); // "start"/"end" of function

std::string ReadFile(const std::string &path);
bool IsFifo(const std::string &path);
bool Exists(const std::string &path);

// Records every line like LogCapture and calls the test's action on each,
// in the logging thread, as it is logged.
class LogHook {
public:
    using Action = std::function<void(int priority, const std::string &text)>;
    explicit LogHook(Action action);
    ~LogHook();
    LogHook(const LogHook &) = delete;
    LogHook &operator=(const LogHook &) = delete;

    int Count(const std::string &text, int priority = -1) const;
    std::string Dump() const;

private:
    static void Sink(int priority, const char *text, void *ctx);
    Action action_;
    std::vector<LogLine> lines_;
};

inline double SecondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
