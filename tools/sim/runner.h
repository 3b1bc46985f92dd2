// runner.h - one simulated run on the simulated board (the private root,
// the emulated guard button, the peer modules and the service), driven
// step by step; every event is printed on the timeline as it happens and
// kept for the diagrams and for the expectations.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "events.h"
#include "scenario.h"
#include "timeline.h"

struct RunOptions {
    std::string service;              // path of kvogdbt
    std::string root;                 // empty: a fresh temporary folder
    bool keep = false;                // leave the root folder behind
    int level = 6;                    // the service's log level
    std::vector<SegmentWrite> config; // initial configuration from the options
    std::vector<Step> answers;        // answer rules from the options
    int quietWaitMs = 5000;           // a longer hold or wait says that it waits
    bool device = true;               // the emulated guard button (for a service started here)
    bool standing = false;            // a standing board: no verdict on the service's end,
                                      // and an interrupt stops it in order
};

class Runner {
public:
    Runner(const RunOptions &options, Timeline *timeline);
    ~Runner();
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;

    bool Setup(std::string *error);
    // One step.  false when the run cannot go on (interrupted, or the
    // service could not be started); a missed expectation is no reason.
    bool Execute(const Step &step);
    // Records events until fd is readable; false when interrupted.
    bool IdleUntilReadable(int fd);
    // Ends the service with the status module's 900 (data[0] 0), checks
    // its exit status if no step did, and removes the root.
    void Finish();

    int Met() const { return met_; }
    int Missed() const { return static_cast<int>(missed_.size()); }
    std::string MissedList() const;
    const std::vector<Event> &Events() const { return events_; }

    // From a signal handler: the run stops at its next turn.
    static void Interrupt();
    static bool Interrupted();
    // A standing board's end: waits work again (a second interrupt ends them).
    static void ClearInterrupt();
    kvoboard::Board *Board() { return board_.get(); }
    // Collects events until done() or ms have passed; done()'s last answer.
    bool Pump(int ms, const std::function<bool()> &done);
    void Note(const std::string &text, bool ok = true);

private:
    // steps.cpp
    bool EnsureStarted();
    bool Device(const Step &s);
    void DeviceSetup(const Step &s);
    bool SendStep(const Step &s);
    void Set(const Step &s);
    SegmentWrite Write(SegmentWrite w);
    void Missing(const Step &s);
    void AnswerRule(const Step &s);
    void Idle(const Step &s);
    // expect.cpp
    void ExpectFrame(const Step &s);
    void ExpectNone(const Step &s); // frames or log lines
    void ExpectLog(const Step &s);
    void ExpectExit(const Step &s);
    void ExpectCount(const Step &s);
    void Taken(int i);
    int After(const Step &s) const;
    void Check(bool ok, const std::string &what, const std::string &why);
    // runner.cpp
    double Now() const;
    void Record(Event e);
    bool SendFrame(const Frame &f, bool automatic);
    // Polls up to timeoutMs; whether extraFd (if >= 0) became readable.
    bool Collect(int timeoutMs, int extraFd = -1);
    void Drain();
    void CollectExit();
    void Answer(const Event &e);
    bool ServiceEnded(int *status);

    struct Reply {
        int command;
        std::vector<DataPatch> data;
    };

    RunOptions opt_;
    Timeline *timeline_;
    // The simulated board: the root, the peers, the device and the service
    // started as the status module starts it; gone after Finish.
    std::unique_ptr<kvoboard::Board> board_;
    size_t arrivals_ = 0; // frames of the board recorded as events
    std::chrono::steady_clock::time_point t0_;
    std::vector<Event> events_;
    std::map<int, Reply> answers_; // by request command
    int met_ = 0;
    std::vector<std::string> missed_;
    bool exitChecked_ = false;
    bool exitRecorded_ = false;
    int lastLine_ = -1;        // the log line the last log expectation took
    int lastFrame_ = -1;       // the frame the last frame expectation took
    bool levelGiven_ = false;  // a level step: levelArg_ instead of opt_.level
    bool noLevel_ = false;     // a level step said none: no level argument
    std::string levelArg_;
};
