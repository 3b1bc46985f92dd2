// scenario_parse.cpp - the grammar of each step and reading whole
// scenarios.  Every error names what the parser expected at the point
// where the line went wrong.
#include <cstring>
#include <sstream>

#include "kvosegments.h"
#include "lineparser.h"
#include "names.h"

namespace {

const char *const kStepWords = "a step (start, level, press, release, byte, fail, hold, wait, "
                               "set, send, answer, expect, then)";
const char *const kFaults[] = {"open", "setpoll", "getsts", "read"};     // DeviceFault
const char *const kCounts[] = {"opens", "setpolls", "polls", "polltime"}; // DeviceCount

} // namespace

int LineParser::CountWord() const
{
    for (size_t k = 0; k < sizeof kCounts / sizeof kCounts[0]; ++k)
        if (IsWord(kCounts[k]))
            return static_cast<int>(k);
    return -1;
}

// level N | none | "ARGUMENT"
bool LineParser::Level(Step *s)
{
    long v = 0;
    s->kind = StepKind::Level;
    if (Word("none"))
        s->value = -1;
    else if (!AtEnd() && t_[i_].quoted)
        s->arg = Take();
    else if (Number(0, 7, "a log level 0 to 7, none or a quoted argument", &v))
        s->arg = std::to_string(v);
    else
        return false;
    return End();
}

// release [after N polls]
bool LineParser::Release(Step *s)
{
    s->kind = StepKind::Release;
    if (!Word("after"))
        return End();
    s->kind = StepKind::ReleaseAfter;
    return Number(1, 100000, "a number of polls", &s->value) && (Word("polls") || Fail("polls")) &&
           End();
}

// fail open|setpoll|getsts|read ERRNO, fail read eof; ERRNO 0 clears.
bool LineParser::Fault(Step *s)
{
    s->kind = StepKind::Fault;
    size_t k = 0;
    while (k < sizeof kFaults / sizeof kFaults[0] && !Word(kFaults[k]))
        ++k;
    if (k == sizeof kFaults / sizeof kFaults[0])
        return Fail("open, setpoll, getsts or read");
    s->device = static_cast<int>(k);
    bool read = s->device == static_cast<int>(DeviceFault::Read);
    if (read && Word("eof"))
        s->value = kReadEof;
    else if (!Number(0, 4095, std::string("an errno number (0 clears)") + (read ? " or eof" : ""),
                     &s->value))
        return false;
    return End();
}

// config|other: OFFSET VALUE.. or missing.
bool LineParser::Segment(Step *s, char segment, size_t size)
{
    if (!Word("missing"))
        return Raw(s, segment, size);
    s->kind = StepKind::Missing;
    s->value = segment;
    return End();
}

bool LineParser::Raw(Step *s, char segment, size_t size)
{
    long off = 0, v = 0;
    if (!Number(0, static_cast<long>(size) - 1,
                "an offset below " + std::to_string(size) + " or missing", &off))
        return false;
    SegmentWrite w;
    w.segment = segment;
    w.offset = static_cast<size_t>(off);
    while (!AtEnd()) {
        if (t_[i_].quoted) {
            const std::string &txt = Take();
            w.bytes.insert(w.bytes.end(), txt.begin(), txt.end());
        } else if (!Number(0, 255, "a byte value 0 to 255 or a quoted text", &v)) {
            return false;
        } else {
            w.bytes.push_back(static_cast<uint8_t>(v));
        }
    }
    if (w.bytes.empty())
        return Fail("a byte value 0 to 255 or a quoted text");
    if (w.offset + w.bytes.size() > size)
        return Fail("bytes that end within the " + std::to_string(size) + "-byte segment");
    s->writes.push_back(w);
    return true;
}

bool LineParser::Set(Step *s)
{
    long v = 0;
    SegmentWrite w;
    if (Word("hold")) {
        bool on = Word("on");
        if (!on && !Word("off"))
            return Fail("on or off");
        w = {'c', KVO_CONFIG_GUARD_BUTTON_OFF, {static_cast<uint8_t>(on ? '1' : '0')}};
    } else if (Word("auth")) {
        if (AtEnd() || t_[i_].text.size() != 1)
            return Fail("one character, such as 0 or 5");
        w = {'c', KVO_CONFIG_AUTH_FLAG_OFF, {static_cast<uint8_t>(Take()[0])}};
    } else if (Word("mode")) {
        bool parent = Word("parent");
        if (!parent && !Word("direct"))
            return Fail("parent or direct");
        int32_t word = parent ? 1 : 0;
        w = {'o', KVO_OTHER_PARENT_MODE_OFF, std::vector<uint8_t>(sizeof word)};
        std::memcpy(w.bytes.data(), &word, sizeof word);
        w.word = true; // the service's native order, as the modules write it
    } else if (Word("inhibit")) {
        if (!Number(0, 255, "a value 0 to 255", &v))
            return false;
        w = {'o', KVO_OTHER_HOLD_INHIBIT_OFF, {static_cast<uint8_t>(v)}};
    } else if (Word("config")) {
        return Segment(s, 'c', KVO_CONFIG_SIZE);
    } else if (Word("other")) {
        return Segment(s, 'o', KVO_OTHER_SIZE);
    } else {
        return Fail("hold, auth, mode, inhibit, config or other");
    }
    s->writes.push_back(w);
    return End();
}

bool LineParser::Send(Step *s)
{
    return Module(&s->module) && Command(&s->command) && DataItems(&s->data, false);
}

bool LineParser::Answer(Step *s)
{
    if (!Command(&s->command))
        return false;
    if (Word("none"))
        return End();
    if (!Word("with"))
        return Fail("with or none");
    return Command(&s->reply) && DataItems(&s->data, false);
}

bool LineParser::ExpectFrame(Step *s)
{
    if (!Word("any") && !Peer(&s->peer))
        return false;
    if (!Command(&s->command))
        return false;
    s->ms = kDefaultWithinMs;
    while (!AtEnd()) {
        if (Word("within")) {
            if (!Duration(&s->ms))
                return false;
        } else if (Word("from")) {
            if (!Module(&s->module))
                return false;
        } else if (!DataItems(&s->data, true)) {
            return false;
        }
    }
    return true;
}

// expect none [PEER [COMMAND]] for TIME
bool LineParser::ExpectNone(Step *s)
{
    if (!IsWord("for") && !Word("any")) {
        if (!Peer(&s->peer))
            return false;
        if (!IsWord("for") && !Command(&s->command))
            return false;
    }
    if (!Word("for"))
        return Fail("for TIME");
    return Duration(&s->ms) && End();
}

// expect log [exact] "TEXT" [priority N] [within TIME]
// expect none log [exact] "TEXT" [priority N] for TIME
bool LineParser::ExpectLog(Step *s, bool none)
{
    long v = 0;
    s->kind = none ? StepKind::ExpectNoLog : StepKind::ExpectLog;
    s->exact = Word("exact");
    if (AtEnd() || !t_[i_].quoted)
        return Fail("a quoted log text");
    s->logText = Take();
    s->ms = kDefaultWithinMs;
    while (!AtEnd() && !(none && IsWord("for"))) {
        if (Word("priority")) {
            if (!Number(0, 7, "a priority 0 to 7", &v))
                return false;
            s->priority = static_cast<int>(v);
        } else if (!none && Word("within")) {
            if (!Duration(&s->ms))
                return false;
        } else {
            return Fail(none ? "priority N or for TIME"
                             : "priority N, within TIME or the end of the line");
        }
    }
    return !none || ((Word("for") || Fail("for TIME")) && Duration(&s->ms) && End());
}

// expect opens|setpolls|polls|polltime N [within TIME]
bool LineParser::ExpectCount(Step *s)
{
    s->kind = StepKind::ExpectCount;
    s->device = CountWord();
    ++i_;
    s->ms = kDefaultWithinMs;
    if (!Number(0, 1000000, "a number", &s->value))
        return false;
    if (Word("within") && !Duration(&s->ms))
        return false;
    return End();
}

bool LineParser::Expect(Step *s)
{
    if (Word("none")) {
        if (LogLineFollows()) {
            ++i_;
            return ExpectLog(s, true);
        }
        s->kind = StepKind::ExpectNone;
        return ExpectNone(s);
    }
    if (Word("exit")) {
        s->kind = StepKind::ExpectExit;
        s->ms = kDefaultExitWithinMs;
        if (!Number(0, 255, "an exit status 0 to 255", &s->value))
            return false;
        if (Word("within") && !Duration(&s->ms))
            return false;
        return End();
    }
    if (CountWord() >= 0)
        return ExpectCount(s);
    if (LogLineFollows()) {
        ++i_;
        return ExpectLog(s, false);
    }
    s->kind = StepKind::ExpectFrame;
    return ExpectFrame(s);
}

// then expect ...: only a line (or frame) after the one that the previous
// log (or frame) expectation took; exit statuses and counts have no order.
bool LineParser::Then(Step *s)
{
    if (!Word("expect"))
        return Fail("expect");
    if (IsWord("exit") || CountWord() >= 0)
        return Fail("a frame or a log line");
    s->after = true;
    return Expect(s);
}

bool LineParser::Parse(Step *s)
{
    long v = 0;
    struct Simple {
        const char *word;
        StepKind kind;
    };
    static const Simple kSimple[] = {{"start", StepKind::Start}, {"press", StepKind::Press}};
    for (const Simple &k : kSimple) {
        if (Word(k.word)) {
            s->kind = k.kind;
            return End();
        }
    }
    if (Word("level"))
        return Level(s);
    if (Word("release"))
        return Release(s);
    if (Word("fail"))
        return Fault(s);
    if (Word("then"))
        return Then(s);
    if (Word("byte")) {
        s->kind = StepKind::Byte;
        return Number(0, 255, "an event byte 0 to 255", &v) && (s->value = v, End());
    }
    if (Word("hold") || Word("wait")) {
        s->kind = Lower(t_[i_ - 1].text) == "hold" ? StepKind::Hold : StepKind::Wait;
        return Duration(&s->ms) && End();
    }
    if (Word("set")) {
        s->kind = StepKind::Set;
        return Set(s);
    }
    if (Word("send")) {
        s->kind = StepKind::Send;
        return Send(s);
    }
    if (Word("answer")) {
        s->kind = StepKind::Answer;
        return Answer(s);
    }
    if (Word("expect"))
        return Expect(s);
    return Fail(kStepWords);
}

// The line without its comment and outer blanks, for reports.

namespace {

std::string Trim(const std::string &line)
{
    bool quoted = false;
    size_t end = line.size();
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && quoted)
            ++i;
        else if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == '#' && !quoted) {
            end = i;
            break;
        }
    }
    std::string s = line.substr(0, end);
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

} // namespace

bool ParseStep(const std::string &line, const std::string &file, int lineNo, Step *step,
               bool *empty, std::string *error)
{
    std::string where = file + ":" + std::to_string(lineNo);
    std::vector<Token> tokens;
    std::string why;
    *empty = false;
    if (!Tokenize(line, &tokens, &why)) {
        *error = where + ": " + why;
        return false;
    }
    if (tokens.empty()) {
        *empty = true;
        return true;
    }
    *step = Step();
    step->where = where;
    step->text = Trim(line);
    LineParser p(tokens);
    if (!p.Parse(step)) {
        *error = where + ": " + p.Error();
        return false;
    }
    return true;
}

bool ParseScenario(const std::string &text, const std::string &file, std::vector<Step> *steps,
                   std::string *error)
{
    std::istringstream in(text);
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        Step s;
        bool empty = false;
        if (!ParseStep(line, file, lineNo, &s, &empty, error))
            return false;
        if (!empty)
            steps->push_back(s);
    }
    return true;
}
