// lineparser.h - the parser of one tokenized scenario line: the words
// shared by every step (numbers, times, modules, commands, FIFOs, data)
// and the grammar of each step.  Internal to the scenario reader.
#pragma once

#include <string>
#include <vector>

#include "names.h"
#include "scenario.h"
#include "tokens.h"

class LineParser {
public:
    explicit LineParser(const std::vector<Token> &tokens) : t_(tokens) {}
    bool Parse(Step *s);
    const std::string &Error() const { return error_; }

private:
    bool AtEnd() const { return i_ >= t_.size(); }
    bool IsWord(const char *w) const
    {
        return !AtEnd() && !t_[i_].quoted && Lower(t_[i_].text) == w;
    }
    bool Word(const char *w)
    {
        if (!IsWord(w))
            return false;
        ++i_;
        return true;
    }
    bool Fail(const std::string &expected)
    {
        error_ = "expected " + expected;
        error_ += AtEnd() ? " at the end of the line" : ", got '" + t_[i_].text + "'";
        return false;
    }
    bool End() { return AtEnd() || Fail("the end of the line"); }
    // "log" names a log line when a text (or "exact") follows, the log FIFO otherwise.
    bool LogLineFollows() const
    {
        return IsWord("log") && i_ + 1 < t_.size() &&
               (t_[i_ + 1].quoted || Lower(t_[i_ + 1].text) == "exact");
    }
    // The DeviceCount the next word names, -1 for none.
    int CountWord() const;
    const std::string &Take() { return t_[i_++].text; }

    bool Number(long min, long max, const std::string &what, long *v);
    bool Duration(int *ms);
    bool Module(int *id);
    bool Command(int *id);
    bool Peer(int *index);
    bool DataItems(std::vector<DataPatch> *data, bool stopAtOptions);
    bool DataItem(std::vector<DataPatch> *data, size_t *offset);
    bool HexItem(DataPatch *p);

    bool Level(Step *s);
    bool Release(Step *s);
    bool Fault(Step *s);
    bool Set(Step *s);
    bool Segment(Step *s, char segment, size_t size);
    bool Raw(Step *s, char segment, size_t size);
    bool Send(Step *s);
    bool Answer(Step *s);
    bool Expect(Step *s);
    bool ExpectFrame(Step *s);
    bool ExpectNone(Step *s);
    bool ExpectLog(Step *s, bool none);
    bool ExpectCount(Step *s);
    bool Then(Step *s);

    const std::vector<Token> &t_;
    size_t i_ = 0;
    std::string error_;
};
