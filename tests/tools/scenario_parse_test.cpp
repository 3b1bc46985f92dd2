// The scenario reader: each kind of mistake is reported with the file, the
// line and what was expected; good lines become the steps they say.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

#include "names.h"
#include "scenario.h"

namespace {

struct BadLine {
    const char *line;
    const char *error; // after "t.scenario:3: expected "
};

const BadLine kBadLines[] = {
    {"prss", "a step (start, level, press, release, byte, fail, hold, wait, set, send, answer, "
             "expect, then), got 'prss'"},
    {"press now", "the end of the line, got 'now'"},
    {"hold 3x", "a time with a unit (3s, 1.5s, 250ms), got '3x'"},
    {"wait 250", "a time with a unit (3s, 1.5s, 250ms), got '250'"},
    {"level 8", "a log level 0 to 7, none or a quoted argument, got '8'"},
    {"fail close 5", "open, setpoll, getsts or read, got 'close'"},
    {"fail read later", "an errno number (0 clears) or eof, got 'later'"},
    {"release after 3", "polls at the end of the line"},
    {"set mode both", "parent or direct, got 'both'"},
    {"set other 227 1 2", "bytes that end within the 228-byte segment at the end of the line"},
    {"send nobody 900", "a module name or id (sts, pare, kvoauth, 80, ...), got 'nobody'"},
    {"send sts 1000", "a command number or name (454, terminate, ...), got '1000'"},
    {"send sts 900 hex 0", "hex bytes such as 01 or 0a0b, got '0'"},
    {"send sts 900 \"a\\qb\"", "an escape (\\\" \\\\ \\n \\t \\xNN) after the backslash"},
    {"send sts 900 at 249 \"ab\"", "data that fits the 250 bytes of a frame at the end of the line"},
    {"answer 454 410", "with or none, got '410'"},
    {"expect nowhere 454",
     "a FIFO or peer (FifoSts, sts, pare, auth, disp, ek, log, stsp, any), got 'nowhere'"},
    {"expect none sts 454", "for TIME at the end of the line"},
    {"expect none log \"x\" within 1s", "priority N or for TIME, got 'within'"},
    {"expect log \"x\" loudly", "priority N, within TIME or the end of the line, got 'loudly'"},
    {"expect polls many", "a number, got 'many'"},
    {"then expect exit 0", "a frame or a log line, got 'exit'"},
};

TEST(ScenarioErrors, NameFileLineAndWhatWasExpected)
{
    for (const BadLine &c : kBadLines) {
        // Two lines before the bad one, neither a step: line numbers count them.
        std::string text = std::string("# a comment\n\n") + c.line + "\npress\n";
        std::vector<Step> steps;
        std::string error;
        EXPECT_FALSE(ParseScenario(text, "t.scenario", &steps, &error)) << c.line;
        EXPECT_EQ(error, std::string("t.scenario:3: expected ") + c.error) << c.line;
    }
}

Step One(const std::string &line)
{
    Step s;
    bool empty = true;
    std::string error;
    EXPECT_TRUE(ParseStep(line, "t", 1, &s, &empty, &error)) << line << ": " << error;
    EXPECT_FALSE(empty) << line;
    return s;
}

TEST(ScenarioSteps, KindsAndValues)
{
    const struct {
        const char *line;
        StepKind kind;
        long value;
        int device;
        int ms;
    } cases[] = {
        {"hold 1.5s", StepKind::Hold, 0, 0, 1500},
        {"WAIT 250ms", StepKind::Wait, 0, 0, 250},
        {"expect sts 454", StepKind::ExpectFrame, 0, 0, kDefaultWithinMs},
        {"expect exit 1", StepKind::ExpectExit, 1, 0, kDefaultExitWithinMs},
        {"expect log \"x\" within 0.5s", StepKind::ExpectLog, 0, 0, 500},
        {"expect none log exact \"x\" priority 7 for 0ms", StepKind::ExpectNoLog, 0, 0, 0},
        {"expect polls 12 within 6s", StepKind::ExpectCount, 12,
         static_cast<int>(DeviceCount::Polls), 6000},
        {"fail read eof", StepKind::Fault, kReadEof, static_cast<int>(DeviceFault::Read), 0},
        {"fail setpoll 5", StepKind::Fault, 5, static_cast<int>(DeviceFault::SetPoll), 0},
        {"release after 11 polls", StepKind::ReleaseAfter, 11, 0, 0},
        {"set other missing", StepKind::Missing, 'o', 0, 0},
        {"level none", StepKind::Level, -1, 0, 0},
    };
    for (const auto &c : cases) {
        Step s = One(c.line);
        EXPECT_EQ(s.kind, c.kind) << c.line;
        EXPECT_EQ(s.value, c.value) << c.line;
        EXPECT_EQ(s.device, c.device) << c.line;
        EXPECT_EQ(s.ms, c.ms) << c.line;
    }
    EXPECT_EQ(One("level \"debug\"").arg, "debug");
    EXPECT_EQ(One("level 0x7").arg, "7");
    Step then = One("then expect log exact \"a*b\" priority 6");
    EXPECT_TRUE(then.after && then.exact);
    EXPECT_EQ(then.logText, "a*b");
    EXPECT_EQ(then.priority, 6);
}

TEST(ScenarioSteps, SettingsWriteSegmentBytes)
{
    int32_t parent = 1;
    std::vector<uint8_t> word(sizeof parent);
    std::memcpy(word.data(), &parent, sizeof parent); // native order, as the service reads it
    const struct {
        const char *line;
        char segment;
        size_t offset;
        std::vector<uint8_t> bytes;
    } cases[] = {{"set mode parent", 'o', 4, word},
                 {"set config 100 0x41 \"BC\"", 'c', 100, {0x41, 'B', 'C'}},
                 {"set other 227 255", 'o', 227, {255}}};
    for (const auto &c : cases) {
        Step s = One(c.line);
        ASSERT_EQ(s.writes.size(), 1u) << c.line;
        EXPECT_EQ(s.writes[0].segment, c.segment) << c.line;
        EXPECT_EQ(s.writes[0].offset, c.offset) << c.line;
        EXPECT_EQ(s.writes[0].bytes, c.bytes) << c.line;
    }
}

TEST(ScenarioSteps, DataItemsPlaceBytesInOrder)
{
    Step s = One("send 71 pare_io_req \"ab\" at 10 hex ff 00 \"\\x01\" state 3");
    EXPECT_EQ(s.module, 71);
    EXPECT_EQ(s.command, 411);
    ASSERT_EQ(s.data.size(), 4u);
    EXPECT_EQ(s.data[0].offset, 0u);
    EXPECT_EQ(s.data[0].bytes, (std::vector<uint8_t>{'a', 'b'}));
    EXPECT_EQ(s.data[1].offset, 10u);
    EXPECT_EQ(s.data[1].bytes, (std::vector<uint8_t>{0xff, 0x00}));
    EXPECT_EQ(s.data[2].offset, 12u); // right after the previous item
    EXPECT_EQ(s.data[3].offset, 2u);  // the loop state's byte
    EXPECT_EQ(s.data[3].bytes, (std::vector<uint8_t>{3}));
}

TEST(ScenarioSteps, NamesNumbersCommentsAndTheLogFifo)
{
    Step send = One("send status terminate \"a # b\"  # a comment");
    EXPECT_EQ(send.module, 80);
    EXPECT_EQ(send.command, 900);
    EXPECT_EQ(send.text, "send status terminate \"a # b\"");
    ASSERT_EQ(send.data.size(), 1u);
    EXPECT_EQ(send.data[0].bytes.size(), 5u);

    Step answer = One("answer guard_req with 412 hex 02");
    EXPECT_EQ(answer.command, 563);
    EXPECT_EQ(answer.reply, 412);

    Step fifo = One("expect log 53 at 16 hex 04 00 from kvogdbt within 3s");
    EXPECT_EQ(fifo.kind, StepKind::ExpectFrame); // "log" with a command: the log FIFO
    EXPECT_EQ(fifo.peer, PeerIndex(FindPeer("FifoLog")));
    EXPECT_EQ(fifo.module, 52);
    EXPECT_EQ(fifo.ms, 3000);
    EXPECT_EQ(One("expect none log for 1s").kind, StepKind::ExpectNone);
    EXPECT_EQ(One("expect 20 151").peer, PeerIndex(FindPeer("FifoDisp")));

    for (const char *line : {"", "   ", "  # \"quoted\" too"}) {
        bool empty = false;
        std::string error;
        EXPECT_TRUE(ParseStep(line, "t", 1, &send, &empty, &error) && empty) << line;
    }
}

// Every build reads them, the ones that cannot run kvosim included.
TEST(ScenarioFiles, EveryShippedScenarioReads)
{
    std::istringstream list(KVO_SCENARIO_FILES);
    std::string path;
    int files = 0;
    while (std::getline(list, path, '|')) {
        std::ifstream in(path);
        ASSERT_TRUE(in.good()) << path;
        std::ostringstream text;
        text << in.rdbuf();
        std::vector<Step> steps;
        std::string error;
        EXPECT_TRUE(ParseScenario(text.str(), path, &steps, &error)) << error;
        EXPECT_FALSE(steps.empty()) << path;
        ++files;
    }
    EXPECT_GT(files, 10);
}

} // namespace
