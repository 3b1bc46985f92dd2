// The scenario reader names file, line and what was expected for each kind of mistake (good lines: scenarios/).
#include <gtest/gtest.h>

#include "scenario.h"

namespace {

TEST(Scenario, ErrorsNameFileLineAndWhatWasExpected)
{
    const std::pair<const char *, const char *> cases[] = {
        // line, what follows "expected "
        {"prss",
         "a step (start, level, press, release, byte, fail, hold, wait, set, send, answer, expect, then), got 'prss'"},
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
        std::string error; // set on failure
        EXPECT_FALSE(
            ParseScenario(std::string("# a comment\n\n") + c.first + "\npress\n", "t.scenario", &steps, &error));
        EXPECT_EQ(std::string("t.scenario:3: expected ") + c.second, error);
    }
}

} // namespace
