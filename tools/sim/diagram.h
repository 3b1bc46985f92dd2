// diagram.h - a run as a sequence diagram: who sent what to whom, in
// order, with the service's numbered messages and its end as notes.
// Drawn as SVG for a browser, or written as Mermaid text for documents.
#pragma once

#include <string>
#include <vector>

#include "events.h"

struct SeqItem {
    double t = 0;
    int from = 0;         // participant index
    int to = 0;           // == from for a note
    std::string label;    // "454 IO status request"
    std::string detail;   // "data \"052\"", may be empty
    bool toService = false;
    bool missed = false;  // a note of an expectation that was not met
};

struct Sequence {
    std::vector<std::string> participants; // "button", "kvogdbt", "kvosts", ...
    std::vector<SeqItem> items;
};

Sequence BuildSequence(const std::vector<Event> &events);
std::string SequenceSvg(const Sequence &seq);
std::string SequenceMermaid(const Sequence &seq);
// Writes text to path; false with *error on failure.
bool WriteTextFile(const std::string &path, const std::string &text, std::string *error);
