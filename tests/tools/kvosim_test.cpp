// kvosim itself, as scenarios cannot see it: a missed expectation is a
// failure with a non-zero exit status, a scenario error stops before
// anything runs, and the diagrams show the exchange that took place.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "kvoroot.h"
#include "runtool.h"

namespace {

std::string Write(const KvoRoot &dir, const std::string &name, const std::string &text)
{
    std::string path = dir.Dir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

std::string Read(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(KvosimVerdict, AMissedExpectationFailsTheRun)
{
    KvoRoot dir; // only a place for the scenario file; kvosim makes its own root
    std::string file = Write(dir, "missed.scenario",
                             "expect stsp 600 \"001\" within 1s   # it says 000\n"
                             "send sts 901\n"
                             "expect disp 151 within 500ms       # never sent\n");
    ToolRun run = RunTool({KVOSIM_PATH, "--no-color", file});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Has(run.out, "there was FifoStsp 600 result 000, code \"0312\"")) << run.out;
    EXPECT_TRUE(Has(run.out, "MISSED  expect disp 151 within 500ms  (" + file +
                                 ":3): nothing within 0.5s"))
        << run.out;
    EXPECT_TRUE(Has(run.out, "expectations: 1 met, 2 missed")) << run.out;
    EXPECT_FALSE(Has(run.out, "\033[")) << "no colour when piped";
}

TEST(KvosimVerdict, AScenarioErrorStopsBeforeTheRun)
{
    KvoRoot dir;
    std::string file = Write(dir, "bad.scenario", "# fine\nsend sts 900 hex 0\n");
    ToolRun run = RunTool({KVOSIM_PATH, file});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, file + ":2: expected hex bytes such as 01 or 0a0b, got '0'\n");
}

TEST(KvosimVerdict, AServiceThatCannotStartFailsTheRun)
{
    KvoRoot dir;
    std::string file = Write(dir, "start.scenario", "send sts 901\n");
    ToolRun run = RunTool({KVOSIM_PATH, "--no-color", "--service", dir.Dir() + "/none", file});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Has(run.out, "cannot start kvogdbt")) << run.out;
}

TEST(KvosimDiagrams, ShowTheExchangeInOrder)
{
    KvoRoot dir;
    std::string file = Write(dir, "alive.scenario",
                             "expect stsp 600\nsend sts 901\nexpect sts 621\n"
                             "send sts 900 hex 00\nexpect exit 0\n");
    std::string svg = dir.Dir() + "/x.svg", mmd = dir.Dir() + "/x.mmd";
    ToolRun run = RunTool({KVOSIM_PATH, "--no-color", "--svg", svg, "--mermaid", mmd, file});
    ASSERT_EQ(run.status, 0) << run.out;
    std::string m = Read(mmd);
    EXPECT_EQ(m.rfind("sequenceDiagram\n", 0), 0u) << m;
    size_t a = m.find("kvogdbt->>kvosts: 600 start-up report (FifoStsp)<br/>result 000, code "
                      "#quot;0312#quot;\n");
    size_t b = m.find("kvosts->>kvogdbt: 901 alive request\n");
    size_t c = m.find("kvogdbt->>kvosts: 621 alive answer\n");
    size_t d = m.find("Note over kvogdbt: exit status 0\n");
    EXPECT_TRUE(a < b && b < c && c < d && d != std::string::npos) << m;
    std::string s = Read(svg);
    EXPECT_EQ(s.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    EXPECT_TRUE(Has(s, ">901 alive request</text>")) << s;
    EXPECT_TRUE(Has(s, "</svg>\n"));
}

} // namespace
