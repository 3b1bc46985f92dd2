// timeline.h - the live timeline: one line per event, time since the start
// first, coloured on a terminal and plain otherwise.
#pragma once

#include <cstdio>
#include <string>

#include "events.h"

// What shares the terminal with the timeline (the prompt of an interactive
// run): put aside before each line is printed and drawn again after it.
class TerminalShare {
public:
    virtual ~TerminalShare() = default;
    virtual void Hide() = 0;
    virtual void Show() = 0;
};

class Timeline {
public:
    Timeline(FILE *out, bool color) : out_(out), color_(color) {}
    void Share(TerminalShare *share) { share_ = share; }
    void Print(const Event &e);
    // "expectations: 7 met, 0 missed" with the missed ones listed.
    void Summary(int met, int missed, const std::string &missedList);
    // One line of its own, outside the event stream (errors, headers).
    void Line(const std::string &text);

    // The line without colour: used by Print and by tests.
    static std::string Plain(const Event &e);

private:
    std::string Paint(const char *code, const std::string &text) const;
    void Put(const std::string &text);
    FILE *out_;
    bool color_;
    TerminalShare *share_ = nullptr;
};
