// events.h - what happened in a simulated run, in order: the record that
// the live timeline prints and the sequence diagrams draw.
#pragma once

#include <string>

#include "frame.h"

enum class EventKind {
    ToPeer,    // a frame the service wrote to a peer FIFO
    ToService, // a frame a peer (the simulator) sent to the service
    Log,       // a line of the service's log
    Device,    // the guard button: pressed, released, a raw byte
    Exit,      // the service ended
    Note,      // the simulator's own remark (start, configuration, ...)
    Check,     // an expectation's outcome
};

struct Event {
    EventKind kind = EventKind::Note;
    double t = 0;          // seconds since the run started
    int peer = -1;         // ToPeer: index into PeerFifos()
    Frame frame;           // ToPeer, ToService
    bool automatic = false;// ToService: an answer rule sent it
    int priority = -1;     // Log
    std::string text;      // Log, Device, Note, Check
    std::string detail;    // Device: "pressed", "released", "event byte 0x02"
    int status = 0;        // Exit
    bool ok = true;        // Check: met; Note: false for a problem
    bool taken = false;    // ToPeer, Log: matched by an expectation already
};
