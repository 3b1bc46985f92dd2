// timeline.h - the live timeline: one line per event, time since the start
// first, coloured on a terminal and plain otherwise.
#pragma once

#include <cstdio>
#include <string>

#include "events.h"

class Timeline {
public:
    Timeline(FILE *out, bool color) : out_(out), color_(color) {}
    void Print(const Event &e);
    // "expectations: 7 met, 0 missed" with the missed ones listed.
    void Summary(int met, int missed, const std::string &missedList);
    // One line of its own, outside the event stream (errors, headers).
    void Line(const std::string &text);

    // The line without colour: used by Print and by tests.
    static std::string Plain(const Event &e);

private:
    std::string Paint(const char *code, const std::string &text) const;
    FILE *out_;
    bool color_;
};
