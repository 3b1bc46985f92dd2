// The scenario reader: each kind of mistake is reported with the file, the
// line and what was expected; good lines become the steps they say; every
// shipped scenario reads (on every build, those that cannot run kvosim too).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "names.h"
#include "scenario.h"

namespace {

TEST(Scenario, ErrorsNameFileLineAndWhatWasExpected)
{
    const std::pair<const char *, const char *> cases[] = { // line, what follows "expected "
        {"prss", "a step (start, level, press, release, byte, fail, hold, wait, set, send, answer, expect, then), got 'prss'"},
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
        {"expect nowhere 454", "a FIFO or peer (FifoSts, sts, pare, auth, disp, ek, log, stsp, any), got 'nowhere'"},
        {"expect none sts 454", "for TIME at the end of the line"},
        {"expect log \"x\" loudly", "priority N, within TIME or the end of the line, got 'loudly'"},
        {"expect polls many", "a number, got 'many'"},
        {"then expect exit 0", "a frame or a log line, got 'exit'"},
    };
    for (const auto &c : cases) {
        std::vector<Step> steps;
        std::string error;
        EXPECT_FALSE(ParseScenario(std::string("# a comment\n\n") + c.first + "\npress\n", "t.scenario", &steps, &error));
        EXPECT_EQ(std::string("t.scenario:3: expected ") + c.second, error);
    }
}

Step One(const std::string &line)
{
    Step s;
    bool empty = true;
    std::string error;
    EXPECT_TRUE(ParseStep(line, "t", 1, &s, &empty, &error) && !empty) << line << ": " << error;
    return s;
}

TEST(Scenario, StepsCarryTheirValues)
{
    const struct {
        const char *line;
        StepKind kind;
        long value;
        int device, ms;
    } cases[] = {
        {"hold 1.5s", StepKind::Hold, 0, 0, 1500},
        {"WAIT 250ms", StepKind::Wait, 0, 0, 250},
        {"expect exit 1", StepKind::ExpectExit, 1, 0, kDefaultExitWithinMs},
        {"expect none log exact \"x\" priority 7 for 0ms", StepKind::ExpectNoLog, 0, 0, 0},
        {"expect polls 12 within 6s", StepKind::ExpectCount, 12, static_cast<int>(DeviceCount::Polls), 6000},
        {"fail read eof", StepKind::Fault, kReadEof, static_cast<int>(DeviceFault::Read), 0},
        {"fail setpoll 5", StepKind::Fault, 5, static_cast<int>(DeviceFault::SetPoll), 0},
        {"release after 11 polls", StepKind::ReleaseAfter, 11, 0, 0},
        {"set other missing", StepKind::Missing, 'o', 0, 0},
        {"level none", StepKind::Level, -1, 0, 0},
    };
    for (const auto &c : cases) {
        Step s = One(c.line);
        EXPECT_TRUE(s.kind == c.kind && s.value == c.value && s.device == c.device && s.ms == c.ms) << c.line;
    }
    EXPECT_EQ("debug 7", One("level \"debug\"").arg + " " + One("level 0x7").arg);
    Step then = One("then expect log exact \"a*b\" priority 6");
    EXPECT_TRUE(then.after && then.exact && then.logText == "a*b" && then.priority == 6);
    int32_t parent = 1;
    std::vector<uint8_t> word(4);
    std::memcpy(word.data(), &parent, 4); // native order, as the service reads it
    Step mode = One("set mode parent"), config = One("set config 100 0x41 \"BC\"");
    EXPECT_TRUE(mode.writes.size() == 1 && mode.writes[0].segment == 'o' && mode.writes[0].offset == 4);
    EXPECT_EQ(word, mode.writes[0].bytes);
    EXPECT_TRUE(config.writes.size() == 1 && config.writes[0].segment == 'c' && config.writes[0].offset == 100);
    EXPECT_EQ((std::vector<uint8_t>{0x41, 'B', 'C'}), config.writes[0].bytes);
}

TEST(Scenario, DataNamesCommentsAndTheLogFifo)
{
    Step s = One("send 71 pare_io_req \"ab\" at 10 hex ff 00 \"\\x01\" state 3");
    EXPECT_TRUE(s.module == 71 && s.command == 411);
    ASSERT_EQ(4u, s.data.size());
    const std::pair<size_t, std::vector<uint8_t>> items[] = { // right after the previous item; the loop state's byte
        {0, {'a', 'b'}}, {10, {0xff, 0x00}}, {12, {1}}, {2, {3}}};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(s.data[i].offset == items[i].first && s.data[i].bytes == items[i].second) << i;
    Step send = One("send status terminate \"a # b\"  # a comment");
    EXPECT_TRUE(send.module == 80 && send.command == 900 && send.data.size() == 1 && send.data[0].bytes.size() == 5);
    EXPECT_EQ("send status terminate \"a # b\"", send.text);
    Step answer = One("answer guard_req with 412 hex 02");
    EXPECT_TRUE(answer.command == 563 && answer.reply == 412);
    Step fifo = One("expect log 53 at 16 hex 04 00 from kvogdbt within 3s"); // with a command: the log FIFO
    EXPECT_TRUE(fifo.kind == StepKind::ExpectFrame && fifo.peer == PeerIndex(FindPeer("FifoLog")));
    EXPECT_TRUE(fifo.module == 52 && fifo.ms == 3000);
    EXPECT_EQ(StepKind::ExpectNone, One("expect none log for 1s").kind);
    EXPECT_EQ(PeerIndex(FindPeer("FifoDisp")), One("expect 20 151").peer);
    for (const char *line : {"", "   ", "  # \"quoted\" too"}) {
        bool empty = false;
        std::string error;
        EXPECT_TRUE(ParseStep(line, "t", 1, &send, &empty, &error) && empty) << line;
    }
}

TEST(Scenario, EveryShippedScenarioReads)
{
    std::istringstream list(KVO_SCENARIO_FILES);
    int files = 0;
    for (std::string path; std::getline(list, path, '|'); ++files) {
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        std::vector<Step> steps;
        std::string error;
        EXPECT_TRUE(ParseScenario(text.str(), path, &steps, &error) && !steps.empty()) << path << ": " << error;
    }
    EXPECT_GT(files, 10);
}

} // namespace
