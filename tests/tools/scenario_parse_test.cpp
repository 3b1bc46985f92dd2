// The scenario reader: every kind of mistake is reported with the file,
// the line and what was expected; good lines become the steps they say.
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
    const char *error; // after "t.scenario:3: "
};

const BadLine kBadLines[] = {
    {"prss", "expected a step (start, level, press, release, byte, hold, wait, set, send, "
             "answer, expect), got 'prss'"},
    {"press now", "expected the end of the line, got 'now'"},
    {"hold", "expected a time such as 3s, 1.5s or 250ms at the end of the line"},
    {"hold 3x", "expected a time such as 3s, 1.5s or 250ms, got '3x'"},
    {"wait -1s", "expected a time such as 3s, 1.5s or 250ms, got '-1s'"},
    {"wait 2h", "expected a time such as 3s, 1.5s or 250ms, got '2h'"},
    {"level 8", "expected a log level 0 to 7, got '8'"},
    {"byte 256", "expected an event byte 0 to 255, got '256'"},
    {"set", "expected hold, auth, mode, inhibit, config or other at the end of the line"},
    {"set hold maybe", "expected on or off, got 'maybe'"},
    {"set auth 10", "expected one character, such as 0 or 5, got '10'"},
    {"set mode both", "expected parent or direct, got 'both'"},
    {"set inhibit 300", "expected a value 0 to 255, got '300'"},
    {"set config 28376 1", "expected an offset below 28376, got '28376'"},
    {"set other 227 1 2", "expected bytes that end within the 228-byte segment at the end of the line"},
    {"set other 4", "expected a byte value 0 to 255 or a quoted text at the end of the line"},
    {"send", "expected a module name or id (sts, pare, kvoauth, 80, ...) at the end of the line"},
    {"send nobody 900", "expected a module name or id (sts, pare, kvoauth, 80, ...), got 'nobody'"},
    {"send sts 1000", "expected a command number or name (454, terminate, ...), got '1000'"},
    {"send sts 900 hex 0", "expected hex bytes such as 01 or 0a0b, got '0'"},
    {"send sts 900 text", "expected a quoted text at the end of the line"},
    {"send sts 900 \"open", "expected a closing quote"},
    {"send sts 900 \"a\\qb\"", "expected an escape (\\\" \\\\ \\n \\t \\xNN) after the backslash"},
    {"send sts 900 \"\\x4\"", "expected two hex digits after \\x"},
    {"send sts 410 state 256", "expected a loop state 0 to 255, got '256'"},
    {"send sts 900 at 250", "expected a data offset 0 to 249, got '250'"},
    {"send sts 900 at 249 \"ab\"", "expected data that fits the 250 bytes of a frame at the end of the line"},
    {"send sts 900 within 1s", "expected data (\"text\", text \"..\", hex 01 02, state N, at N), got 'within'"},
    {"answer 454", "expected with or none at the end of the line"},
    {"answer 454 410", "expected with or none, got '410'"},
    {"answer 454 with", "expected a command number or name (454, terminate, ...) at the end of the line"},
    {"answer 454 none extra", "expected the end of the line, got 'extra'"},
    {"expect", "expected a FIFO or peer (FifoSts, sts, pare, auth, disp, ek, log, stsp, any) at the end of the line"},
    {"expect nowhere 454", "expected a FIFO or peer (FifoSts, sts, pare, auth, disp, ek, log, stsp, any), got 'nowhere'"},
    {"expect sts", "expected a command number or name (454, terminate, ...) at the end of the line"},
    {"expect sts 454 within soon", "expected a time such as 3s, 1.5s or 250ms, got 'soon'"},
    {"expect sts 454 from nobody", "expected a module name or id (sts, pare, kvoauth, 80, ...), got 'nobody'"},
    {"expect none sts 454", "expected for TIME at the end of the line"},
    {"expect none for", "expected a time such as 3s, 1.5s or 250ms at the end of the line"},
    {"expect log exact", "expected a quoted log text at the end of the line"},
    {"expect log \"x\" priority 9", "expected a priority 0 to 7, got '9'"},
    {"expect log \"x\" loudly", "expected priority N, within TIME or the end of the line, got 'loudly'"},
    {"expect exit", "expected an exit status 0 to 255 at the end of the line"},
    {"expect exit 0 within", "expected a time such as 3s, 1.5s or 250ms at the end of the line"},
};

TEST(ScenarioErrors, NameFileLineAndWhatWasExpected)
{
    for (const BadLine &c : kBadLines) {
        // Two lines before the bad one, neither a step: line numbers count them.
        std::string text = std::string("# a comment\n\n") + c.line + "\npress\n";
        std::vector<Step> steps;
        std::string error;
        EXPECT_FALSE(ParseScenario(text, "t.scenario", &steps, &error)) << c.line;
        EXPECT_EQ(error, std::string("t.scenario:3: ") + c.error) << c.line;
    }
}

TEST(ScenarioErrors, StopAtTheFirstBadLine)
{
    std::vector<Step> steps;
    std::string error;
    EXPECT_FALSE(ParseScenario("press\nrelease\nhold\nprss\n", "f", &steps, &error));
    EXPECT_EQ(error.rfind("f:3: ", 0), 0u) << error;
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

int PeerOf(const char *fifo)
{
    return PeerIndex(FindPeer(fifo));
}

TEST(ScenarioSteps, TimesInSecondsOrMilliseconds)
{
    const struct {
        const char *line;
        StepKind kind;
        int ms;
    } cases[] = {{"hold 1.5s", StepKind::Hold, 1500},
                 {"wait 250ms", StepKind::Wait, 250},
                 {"WAIT 2", StepKind::Wait, 2000},
                 {"expect sts 454", StepKind::ExpectFrame, kDefaultWithinMs},
                 {"expect none for 0s", StepKind::ExpectNone, 0},
                 {"expect exit 0", StepKind::ExpectExit, kDefaultExitWithinMs},
                 {"expect log \"x\" within 0.5s", StepKind::ExpectLog, 500}};
    for (const auto &c : cases) {
        Step s = One(c.line);
        EXPECT_EQ(s.kind, c.kind) << c.line;
        EXPECT_EQ(s.ms, c.ms) << c.line;
    }
}

TEST(ScenarioSteps, SettingsWriteTheServiceConfigurationBytes)
{
    int32_t parent = 1;
    std::vector<uint8_t> word(sizeof parent);
    std::memcpy(word.data(), &parent, sizeof parent); // native order, as the service reads it
    const struct {
        const char *line;
        char segment;
        size_t offset;
        std::vector<uint8_t> bytes;
    } cases[] = {{"set hold on", 'c', 27648, {'1'}},
                 {"set hold off", 'c', 27648, {'0'}},
                 {"set auth 5", 'c', 27722, {'5'}},
                 {"set mode parent", 'o', 4, word},
                 {"set mode direct", 'o', 4, {0, 0, 0, 0}},
                 {"set inhibit 7", 'o', 189, {7}},
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

TEST(ScenarioSteps, ModulesCommandsAndPeersByNameOrNumber)
{
    Step send = One("send status terminate hex 01");
    EXPECT_EQ(send.module, 80);
    EXPECT_EQ(send.command, 900);

    Step answer = One("answer guard_req with 412 hex 02");
    EXPECT_EQ(answer.command, 563);
    EXPECT_EQ(answer.reply, 412);
    EXPECT_EQ(One("answer 454 none").reply, -1);

    Step fifo = One("expect log 53 at 16 hex 04 00 from kvogdbt within 3s");
    EXPECT_EQ(fifo.kind, StepKind::ExpectFrame); // "log" with a command: the log FIFO
    EXPECT_EQ(fifo.peer, PeerOf("FifoLog"));
    EXPECT_EQ(fifo.module, 52);
    EXPECT_EQ(fifo.ms, 3000);

    Step line = One("expect log exact \"Terminate reBoot\" priority 6");
    EXPECT_EQ(line.kind, StepKind::ExpectLog); // with a text: a log line
    EXPECT_TRUE(line.exact);
    EXPECT_EQ(line.logText, "Terminate reBoot");
    EXPECT_EQ(line.priority, 6);

    EXPECT_EQ(One("expect FIFOSTSP 600").peer, PeerOf("FifoStsp"));
    EXPECT_EQ(One("expect kvoauth 255").peer, PeerOf("FifoAuth"));
    EXPECT_EQ(One("expect 20 151").peer, PeerOf("FifoDisp"));
    Step any = One("expect none for 1s");
    EXPECT_EQ(any.peer, -1);
    EXPECT_EQ(any.command, -1);
    EXPECT_EQ(One("expect any 454").peer, -1);
}

TEST(ScenarioSteps, CommentsAndBlankLinesAreNoSteps)
{
    for (const char *line : {"", "   ", "# press", "  # \"quoted\" too"}) {
        Step s;
        bool empty = false;
        std::string error;
        EXPECT_TRUE(ParseStep(line, "t", 1, &s, &empty, &error)) << line;
        EXPECT_TRUE(empty) << line;
    }
    Step s = One("send sts 901 \"a # b\"  # a comment");
    EXPECT_EQ(s.text, "send sts 901 \"a # b\"");
    ASSERT_EQ(s.data.size(), 1u);
    EXPECT_EQ(s.data[0].bytes.size(), 5u);
}

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
