// kvosim: misses fail (1, a red note), bad input refused in one line (2), a service that cannot start, the
// diagrams.  kvocrkey: help, bad arguments, programs that cannot start, commands echoed, SIGTERM at the end.
#include <gtest/gtest.h>

#include <fstream>

#include "kvoroot.h"
#include "runtool.h"

namespace {

TEST(Kvosim, VerdictsAndDiagrams)
{
    KvoRoot dir; // a place for the files; kvosim makes its own root
    const std::string file = dir.Dir() + "/t.scenario", svg = dir.Dir() + "/x.svg", mmd = dir.Dir() + "/x.mmd";
    auto run = [&](const std::string &text, std::vector<std::string> args) {
        std::ofstream(file) << text;
        args.push_back(file);
        return RunTool(KVOSIM_PATH, args);
    };
    ToolRun missed = run("expect stsp 600 \"001\" within 1s   # it says 000\nsend sts 901\n"
                         "expect disp 151 within 500ms       # never sent\n", {"--no-color", "--mermaid", mmd});
    EXPECT_EQ(1, missed.status) << missed.out;
    for (const std::string &part : {std::string("there was FifoStsp 600 result 000, code \"0312\""),
                                    "MISSED  expect disp 151 within 500ms  (" + file + ":3): nothing within 0.5s",
                                    std::string("expectations: 1 met, 2 missed")})
        EXPECT_NE(std::string::npos, missed.out.find(part)) << part;
    EXPECT_EQ(std::string::npos, missed.out.find("\033[")) << "no colour when piped";
    EXPECT_NE(std::string::npos,
              ReadFile(mmd).find("    rect rgb(255, 210, 210)\n        Note over kvogdbt: MISSED expect disp 151"));
    ToolRun bad = run("# fine\nsend sts 900 hex 0\n", {});
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ(file + ":2: expected hex bytes such as 01 or 0a0b, got '0'\n", bad.out + bad.err);
    ToolRun none = run("send sts 901\n", {"--no-color", "--service", dir.Dir() + "/none"});
    EXPECT_EQ(1, none.status);
    EXPECT_NE(std::string::npos, none.out.find("cannot start kvogdbt")) << none.out;
    ToolRun ok = run("expect stsp 600\nsend sts 901\nexpect sts 621\nsend sts 900 hex 00\nexpect exit 0\n",
                     {"--no-color", "--svg", svg, "--mermaid", mmd});
    ASSERT_EQ(0, ok.status) << ok.out;
    const std::string m = ReadFile(mmd), s = ReadFile(svg);
    size_t at = 0;
    for (const char *step : {"sequenceDiagram\n", "kvogdbt->>kvosts: 600 start-up report (FifoStsp)<br/>result 000, "
                             "code #quot;0312#quot;\n", "kvosts->>kvogdbt: 901 alive request\n",
                             "kvogdbt->>kvosts: 621 alive answer\n", "Note over kvogdbt: exit status 0\n"})
        EXPECT_NE(std::string::npos, at = m.find(step, at)) << step << " in order in\n" << m;
    EXPECT_TRUE(s.find("<svg xmlns=\"http://www.w3.org/2000/svg\"") == 0 &&
                s.find(">901 alive request</text>") != std::string::npos);
}

TEST(Kvosim, HelpAndInputRefusedInOneLine)
{
    KvoRoot dir;
    const std::string d = dir.Dir();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{d}, d + ": a folder, not a scenario file"},
        {{d + "/none"}, d + "/none: No such file or directory"},
        {{"--svg", d}, "--svg " + d + ": a folder"},
        {{"--mode", "foo"}, "--mode: expected parent or direct, got 'foo' (kvosim --help)"},
        {{"--level", "9"}, "--level: expected 0 to 7, not 9 (kvosim --help)"},
        {{"--answer"}, "--answer: expected a value (kvosim --help)"},
        {{"--start"}, "--start: only with --board (kvosim --help)"},
        {{"--board", "--interactive"}, "--interactive: one of --interactive and --board (kvosim --help)"},
    };
    for (const auto &c : cases) {
        ToolRun run = RunTool(KVOSIM_PATH, c.first);
        EXPECT_TRUE(run.status == 2 && run.out.empty()) << c.second;
        EXPECT_EQ("kvosim: " + c.second + "\n", run.err);
    }
    ToolRun help = RunTool({KVOSIM_PATH, "--help"});
    EXPECT_TRUE(help.status == 0 && help.err.empty());
    EXPECT_NE(std::string::npos, help.out.find("\n  --answer RULE ")) << help.out;
}

TEST(Kvocrkey, HelpStartFailuresAndTheEndOfInput)
{
    KvoRoot dir; // a place for files
    const std::string plain = dir.Dir() + "/plain", input = dir.Dir() + "/input";
    std::ofstream(plain) << "not a program\n";
    std::ofstream(input) << "press\nbyte 300\nstats\n";
    const struct { std::vector<std::string> args; std::string in; int status; std::string out, err; } cases[] = {
        {{"--", "/nonexistent/kvogdbt"}, "", 127, "", "cannot start /nonexistent/kvogdbt: No such file or directory"},
        {{plain}, "", 126, "", "cannot start " + plain + ": Permission denied"},
        {{"-x"}, "", 2, "", "unknown option '-x' (see kvocrkey --help)"},
        {{"--", "sleep", "30"}, input, 128 + 15,
         "> press\n> byte 300\n> stats\nopens=0 setpoll=0 getsts=0 bytes=1 polltime=-1\n",
         "'byte 300': byte takes one number from 0 to 255"},
    };
    for (const auto &c : cases) {
        ToolRun run = RunTool(KVOCRKEY_PATH, c.args, c.in);
        EXPECT_EQ(c.status, run.status) << c.args[0];
        EXPECT_EQ(c.out, run.out) << c.args[0];
        EXPECT_EQ("kvocrkey: " + c.err + "\n", run.err);
    }
    ToolRun help = RunTool({KVOCRKEY_PATH, "--help"});
    EXPECT_TRUE(help.status == 0 && help.err.empty());
    EXPECT_NE(std::string::npos, help.out.find("the end of input (Ctrl-D) kvocrkey stops the program with SIGTERM"));
}

} // namespace
