// prompt.h - the prompt of kvosim's interactive runs.  On a terminal it
// has line editing and history (libedit), and output that comes while a
// line is being typed is printed above it, the line drawn again below;
// from a pipe or file it reads plain lines and shows no prompt.
#pragma once

#include <string>
#include <vector>

#include "timeline.h"

class Prompt : public TerminalShare {
public:
    explicit Prompt(const std::string &prompt);
    ~Prompt() override;
    Prompt(const Prompt &) = delete;
    Prompt &operator=(const Prompt &) = delete;

    // Takes what standard input holds now (call it when it is readable);
    // whole lines go to *lines.  false at the end of input.
    bool Read(std::vector<std::string> *lines);
    // While a step runs the prompt stays away; Ready draws it again.
    void Busy() { busy_ = true; }
    void Ready();

    void Hide() override;
    void Show() override;

private:
    bool tty_;
    bool busy_ = false;
    bool shown_ = false;
    std::string prompt_;
    std::string pending_; // plain input that is no whole line yet
};
