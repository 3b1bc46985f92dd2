// expect.cpp - expectations.  Each one takes the first event not taken by
// an earlier expectation that fits it, whether it came before the step or
// comes within the step's time limit; "expect none" fails on any event that
// fits and that no expectation has taken, earlier ones included.  "then
// expect" looks only after the log line (or frame) that the last log (or
// frame) expectation took: the log keeps its order, and so does each FIFO,
// but nothing orders the log against the frames.
// The device's counts come from the emulation, never from the clock.
#include <cstdio>

#include "crkeyemu.h"
#include "describe.h"
#include "names.h"
#include "runner.h"

namespace {

std::string Seconds(int ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%gs", ms / 1000.0);
    return text;
}

bool FrameFits(const Step &s, const Event &e)
{
    return e.kind == EventKind::ToPeer && !e.taken && (s.peer < 0 || e.peer == s.peer) &&
           (s.command < 0 || e.frame.cid == s.command) &&
           (s.module < 0 || e.frame.mid == s.module) && DataMatches(s.data, e.frame.data);
}

// The whole text against a pattern in which '*' stands for any characters.
bool Glob(const char *p, const char *t)
{
    if (*p == '*')
        return Glob(p + 1, t) || (*t != '\0' && Glob(p, t + 1));
    return *p == *t && (*p == '\0' || Glob(p + 1, t + 1));
}

bool LogFits(const Step &s, const Event &e)
{
    if (e.kind != EventKind::Log || e.taken || (s.priority >= 0 && e.priority != s.priority))
        return false;
    std::string want = s.logText;
    if (!want.empty() && want.back() == '\n')
        want.pop_back(); // the log keeps lines, not their line feeds
    return Glob((s.exact ? want : "*" + want + "*").c_str(), e.text.c_str());
}

int Find(const std::vector<Event> &events, bool (*fits)(const Step &, const Event &),
         const Step &s, int after = -1)
{
    for (size_t i = static_cast<size_t>(after + 1); i < events.size(); ++i)
        if (fits(s, events[i]))
            return static_cast<int>(i);
    return -1;
}

std::string FrameWords(const Event &e)
{
    size_t n = 0;
    std::string d = DescribeData(e.frame);
    return std::string(PeerFifos(&n)[e.peer].fifo) + " " + std::to_string(e.frame.cid) +
           (d.empty() ? "" : " " + d);
}

// A near miss for the report: same FIFO and command, other data or sender.
std::string NearMiss(const std::vector<Event> &events, const Step &s)
{
    Step loose = s;
    loose.data.clear();
    loose.module = -1;
    int i = Find(events, FrameFits, loose);
    return i < 0 ? "" : "; there was " + FrameWords(events[static_cast<size_t>(i)]);
}

std::string What(const Step &s)
{
    return s.text + "  (" + s.where + ")";
}

} // namespace

void Runner::Check(bool ok, const std::string &what, const std::string &why)
{
    Event e;
    e.kind = EventKind::Check;
    e.ok = ok;
    e.text = what + (why.empty() ? "" : ": " + why);
    Record(e);
    if (ok)
        ++met_;
    else
        missed_.push_back(e.text);
}

void Runner::Taken(int i)
{
    Event &e = events_[static_cast<size_t>(i)];
    e.taken = true;
    (e.kind == EventKind::Log ? lastLine_ : lastFrame_) = i;
}

int Runner::After(const Step &s) const
{
    if (!s.after)
        return -1;
    bool log = s.kind == StepKind::ExpectLog || s.kind == StepKind::ExpectNoLog;
    return log ? lastLine_ : lastFrame_;
}

void Runner::ExpectFrame(const Step &s)
{
    int i = -1, after = After(s);
    if (Pump(s.ms, [&] { return (i = Find(events_, FrameFits, s, after)) >= 0; })) {
        Taken(i);
        Check(true, What(s), "");
    } else {
        Check(false, What(s), "nothing within " + Seconds(s.ms) + NearMiss(events_, s));
    }
}

void Runner::ExpectNone(const Step &s)
{
    bool log = s.kind == StepKind::ExpectNoLog;
    int i = -1, after = After(s);
    if (Pump(s.ms, [&] { return (i = Find(events_, log ? LogFits : FrameFits, s, after)) >= 0; })) {
        Event &e = events_[static_cast<size_t>(i)];
        e.taken = true;
        Check(false, What(s), "got " + (log ? "\"" + e.text + "\"" : FrameWords(e)));
    } else if (!Interrupted()) {
        Check(true, What(s), "");
    }
}

void Runner::ExpectLog(const Step &s)
{
    int i = -1, after = After(s);
    if (Pump(s.ms, [&] { return (i = Find(events_, LogFits, s, after)) >= 0; })) {
        Taken(i);
        Check(true, What(s), "");
    } else {
        Check(false, What(s), "no such line within " + Seconds(s.ms));
    }
}

// Counts only grow, so one beyond the expected number is a miss at once;
// the poll time is a value and may still change.
void Runner::ExpectCount(const Step &s)
{
    long v = 0;
    auto count = [&] {
        CrKeyEmuStats st = CrKeyEmuGetStats(board_->Device());
        const long counts[] = {st.opens, st.setPollCalls, st.getStsCalls, st.lastPollTime};
        v = counts[s.device];
        return v == s.value ||
               (s.device != static_cast<int>(DeviceCount::PollTime) && v > s.value);
    };
    Pump(s.ms, count);
    Check(v == s.value, What(s), v == s.value ? "" : "the device counted " + std::to_string(v));
}

void Runner::ExpectExit(const Step &s)
{
    int status = 0;
    exitChecked_ = true;
    if (!Pump(s.ms, [&] { return ServiceEnded(&status); }))
        Check(false, What(s), "still running after " + Seconds(s.ms));
    else
        Check(status == s.value, What(s),
              status == s.value ? "" : "it ended with " + std::to_string(status));
}
