// scenario.h - a scenario: the steps of one simulated run, as read from
// the scenario text (one step per line, '#' starts a comment).  Parsing
// only; running a scenario is the runner's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"

enum class StepKind {
    Start,       // start the service now (otherwise at the first action)
    Level,       // the service's log level argument, before it starts
    Press,       // button down: key state pressed, event byte 1
    Release,     // button up
    ReleaseAfter,// button up right after the next N polls that find it down
    Byte,        // any event byte from the device
    Fault,       // a device operation fails from now on (read: once)
    Hold,        // keep the button as it is for a time
    Wait,        // let time pass
    Set,         // write configuration bytes
    Missing,     // remove a segment, so that a start-up finds it missing
    Send,        // a frame from a module to the service
    Answer,      // how a peer answers a request from now on
    ExpectFrame, // a frame from the service
    ExpectNone,  // no such frame for a time
    ExpectLog,   // a line of the service's log
    ExpectNoLog, // no such line for a time
    ExpectExit,  // the service's exit status
    ExpectCount, // a count of the device's own
};

// What a device fault hits, and what the device counts; in the words of
// kvocrkey's commands.
enum class DeviceFault { Open, SetPoll, GetSts, Read };
enum class DeviceCount { Opens, SetPolls, Polls, PollTime };
// The errno of "fail read eof": the read returns 0 bytes.
enum { kReadEof = -1 };

// Bytes written into a segment: 'c' CONFIG or 'o' OTHER.
struct SegmentWrite {
    char segment = 'c';
    size_t offset = 0;
    std::vector<uint8_t> bytes;
    bool word = false; // bytes hold a 32-bit integer, written in the service's byte order
};

struct Step {
    StepKind kind = StepKind::Wait;
    std::string where;                // "file:line"
    std::string text;                 // the line as written, for reports
    long value = 0;                   // Byte, Fault (errno), ReleaseAfter, Missing (segment),
                                      // ExpectExit, ExpectCount; Level: -1 no argument
    std::string arg;                  // Level: the argument as given
    int device = 0;                   // Fault: a DeviceFault; ExpectCount: a DeviceCount
    bool after = false;               // "then expect": after what the last expectation took
    int ms = 0;                       // Hold, Wait; the time limit of an expectation
    int module = -1;                  // Send: sender; ExpectFrame: sender, -1 any
    int command = -1;                 // Send, Answer (the request), expectations (-1 any)
    int reply = -1;                   // Answer: the reply command, -1 none
    int peer = -1;                    // expectations: index into PeerFifos(), -1 any
    std::vector<DataPatch> data;      // Send, Answer's reply, ExpectFrame
    std::vector<SegmentWrite> writes; // Set
    std::string logText;              // ExpectLog, ExpectNoLog; '*' stands for any characters
    bool exact = false;               // ExpectLog, ExpectNoLog: whole line, else a part
    int priority = -1;                // ExpectLog, ExpectNoLog, -1 any
};

// Time limits of expectations that name none.
enum { kDefaultWithinMs = 2000, kDefaultExitWithinMs = 5000 };

// One line.  *empty is set for a blank or comment-only line (no step).
// Errors read "FILE:LINE: expected ...".
bool ParseStep(const std::string &line, const std::string &file, int lineNo, Step *step,
               bool *empty, std::string *error);
// A whole scenario text; stops at the first error.
bool ParseScenario(const std::string &text, const std::string &file, std::vector<Step> *steps,
                   std::string *error);
