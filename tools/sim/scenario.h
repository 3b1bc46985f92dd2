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
    Level,       // the service's log level, before it starts
    Press,       // button down: key state pressed, event byte 1
    Release,     // button up
    Byte,        // any event byte from the device
    Hold,        // keep the button as it is for a time
    Wait,        // let time pass
    Set,         // write configuration bytes
    Send,        // a frame from a module to the service
    Answer,      // how a peer answers a request from now on
    ExpectFrame, // a frame from the service
    ExpectNone,  // no such frame for a time
    ExpectLog,   // a line of the service's log
    ExpectExit,  // the service's exit status
};

// Bytes written into a segment: 'c' CONFIG or 'o' OTHER.
struct SegmentWrite {
    char segment = 'c';
    size_t offset = 0;
    std::vector<uint8_t> bytes;
};

struct Step {
    StepKind kind = StepKind::Wait;
    std::string where;                // "file:line"
    std::string text;                 // the line as written, for reports
    long value = 0;                   // Level, Byte, ExpectExit
    int ms = 0;                       // Hold, Wait; the time limit of an expectation
    int module = -1;                  // Send: sender; ExpectFrame: sender, -1 any
    int command = -1;                 // Send, Answer (the request), expectations (-1 any)
    int reply = -1;                   // Answer: the reply command, -1 none
    int peer = -1;                    // expectations: index into PeerFifos(), -1 any
    std::vector<DataPatch> data;      // Send, Answer's reply, ExpectFrame
    std::vector<SegmentWrite> writes; // Set
    std::string logText;              // ExpectLog
    bool exact = false;               // ExpectLog: whole line, else substring
    int priority = -1;                // ExpectLog, -1 any
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
