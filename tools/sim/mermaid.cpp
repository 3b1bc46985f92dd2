// mermaid.cpp - a sequence as Mermaid text, for documents that render it.
#include "diagram.h"

namespace {

// Mermaid reads '#', ';' and quotes in message text as syntax; its entity
// codes stand for them.
std::string Esc(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '#': out += "#35;"; break;
        case ';': out += "#59;"; break;
        case '"': out += "#quot;"; break;
        case '<': out += "#lt;"; break;
        case '>': out += "#gt;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

std::string SequenceMermaid(const Sequence &seq)
{
    std::string out = "sequenceDiagram\n";
    for (const std::string &p : seq.participants)
        out += "    participant " + p + (p == "button" ? " as guard button" : "") + "\n";
    for (const SeqItem &it : seq.items) {
        const std::string &from = seq.participants[static_cast<size_t>(it.from)];
        const std::string &to = seq.participants[static_cast<size_t>(it.to)];
        if (it.from == it.to) {
            std::string note = "    Note over " + from + ": " + Esc(it.label) + "\n";
            out += it.missed ? "    rect rgb(255, 210, 210)\n    " + note + "    end\n" : note;
            continue;
        }
        out += "    " + from + "->>" + to + ": " + Esc(it.label);
        if (!it.detail.empty())
            out += "<br/>" + Esc(it.detail);
        out += "\n";
    }
    return out;
}
