// The scenario reader: each kind of mistake is reported with the file, the
// line and what was expected; good lines become the steps they say.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "names.h"
#include "scenario.h"

namespace {

TEST(Scenario, ErrorsNameFileLineAndWhatWasExpected)
{
    const std::pair<const char *, const char *> cases[] = { // line, what follows "expected "
        {"prss", "a step (start, level, press, release, byte, fail, hold, wait, set, send, answer, expect, then), got 'prss'"},
        {"press now", "the end of the line, got 'now'"},
        {"wait 250", "a time with a unit (3s, 1.5s, 250ms), got '250'"},
        {"level 8", "a log level 0 to 7, none or a quoted argument, got '8'"},
        {"fail close 5", "open, setpoll, getsts or read, got 'close'"},
        {"fail read later", "an errno number (0 clears) or eof, got 'later'"},
        {"release after 3", "polls at the end of the line"},
        {"set mode both", "parent or direct, got 'both'"},
        {"set other 227 1 2", "bytes that end within the 228-byte segment at the end of the line"},
        {"send nobody 900", "a module name or id (sts, pare, kvoauth, 80, ...), got 'nobody'"},
        {"send sts 900 hex 0", "hex bytes such as 01 or 0a0b, got '0'"},
        {"send sts 900 \"a\\qb\"", "an escape (\\\" \\\\ \\n \\t \\xNN) after the backslash"},
        {"send sts 900 at 249 \"ab\"", "data that fits the 250 bytes of a frame at the end of the line"},
        {"answer 454 410", "with or none, got '410'"},
        {"expect nowhere 454", "a FIFO or peer (FifoSts, sts, pare, auth, disp, ek, log, stsp, any), got 'nowhere'"},
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

// What the shipped scenarios do not all say: names and numbers, data items
// in order, a comment after a quoted '#', the word of "set mode" in native
// order, times, and "log" with a command meaning the log module's FIFO.
TEST(Scenario, GoodLinesBecomeTheirSteps)
{
    Step s = One("send 71 pare_io_req \"ab\" at 10 hex ff 00 \"\\x01\" state 3");
    EXPECT_TRUE(s.module == 71 && s.command == 411 && s.data.size() == 4);
    const std::pair<size_t, std::vector<uint8_t>> items[] = { // right after the previous item; the loop state's byte
        {0, {'a', 'b'}}, {10, {0xff, 0x00}}, {12, {1}}, {2, {3}}};
    for (size_t i = 0; i < 4 && i < s.data.size(); ++i)
        EXPECT_TRUE(s.data[i].offset == items[i].first && s.data[i].bytes == items[i].second) << i;
    s = One("send status terminate \"a # b\"  # a comment");
    EXPECT_TRUE(s.module == 80 && s.command == 900 && s.text == "send status terminate \"a # b\"");
    int32_t parent = 1;
    std::vector<uint8_t> word(4);
    std::memcpy(word.data(), &parent, 4); // as the service reads it
    s = One("set mode parent");
    EXPECT_TRUE(s.writes.size() == 1 && s.writes[0].segment == 'o' && s.writes[0].offset == 4 && s.writes[0].bytes == word);
    s = One("expect log 53 at 16 hex 04 00 from kvogdbt within 1.5s");
    EXPECT_TRUE(s.kind == StepKind::ExpectFrame && s.peer == PeerIndex(FindPeer("FifoLog")) && s.module == 52);
    EXPECT_EQ(1500, s.ms);
    s = One("fail read eof");
    EXPECT_TRUE(s.kind == StepKind::Fault && s.value == kReadEof && s.device == static_cast<int>(DeviceFault::Read));
    EXPECT_EQ("debug 7", One("level \"debug\"").arg + " " + One("LEVEL 0x7").arg);
}

} // namespace
