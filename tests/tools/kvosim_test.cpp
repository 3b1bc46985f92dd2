// kvosim itself, as scenarios cannot see it: a missed expectation is a
// failure with a non-zero exit status (and a red note in the diagrams), bad
// input and options are refused in one line, a scenario error stops before
// anything runs, and the diagrams show the exchange that took place.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
    std::string mmd = dir.Dir() + "/missed.mmd";
    ToolRun run = RunTool({KVOSIM_PATH, "--no-color", "--mermaid", mmd, file});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Has(Read(mmd), "    rect rgb(255, 210, 210)\n"
                               "        Note over kvogdbt: MISSED expect disp 151"))
        << Read(mmd);
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

TEST(KvosimInput, RefusedInOneLineBeforeAnythingRuns)
{
    KvoRoot dir;
    const std::string d = dir.Dir();
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{d}, d + ": a folder, not a scenario file"},
        {{d + "/none"}, d + "/none: No such file or directory"},
        {{"--svg", d}, "--svg " + d + ": a folder"},
        {{"--mermaid", d + "/no/x.mmd"}, "--mermaid " + d + "/no/x.mmd: No such file or directory"},
        {{"--mode", "foo"}, "--mode: expected parent or direct, got 'foo' (kvosim --help)"},
        {{"--level", "9"}, "--level: expected 0 to 7, not 9 (kvosim --help)"},
        {{"--answer"}, "--answer: expected a value (kvosim --help)"},
        {{"--start"}, "--start: only with --board (kvosim --help)"},
        {{"--board", "--interactive"},
         "--interactive: one of --interactive and --board (kvosim --help)"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {KVOSIM_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ToolRun run = RunTool(argv, "", true);
        EXPECT_EQ(run.status, 2) << c.err;
        EXPECT_EQ(run.out, "") << c.err;
        EXPECT_EQ(run.err, "kvosim: " + c.err + "\n");
    }
    ToolRun help = RunTool({KVOSIM_PATH, "--help"}, "", true);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char *part : {"\n  SCENARIO ", "\n  (nothing) ", "\n  --interactive ", "\n  --board ",
                             "\n  --start ", "\n  --answer RULE ", "\n  --root DIR "})
        EXPECT_TRUE(Has(help.out, part)) << part;
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
