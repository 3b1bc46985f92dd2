// kvocrkey as an engineer meets it: the help lists every command, a program
// that cannot be started is one line with its own exit status, each command
// is echoed, and the end of input stops the program with SIGTERM.
#include <gtest/gtest.h>

#include <fstream>

#include "kvoroot.h"
#include "runtool.h"

namespace {

TEST(Kvocrkey, HelpStartFailuresAndTheEndOfInput)
{
    KvoRoot dir; // a place for files
    const std::string plain = dir.Dir() + "/plain", input = dir.Dir() + "/input";
    std::ofstream(plain) << "not a program\n";
    std::ofstream(input) << "press\nbyte 300\nstats\n";
    const struct {
        std::vector<std::string> args;
        std::string in;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--", "/nonexistent/kvogdbt"}, "", 127, "", "cannot start /nonexistent/kvogdbt: No such file or directory"},
        {{plain}, "", 126, "", "cannot start " + plain + ": Permission denied"},
        {{"-x"}, "", 2, "", "unknown option '-x' (see kvocrkey --help)"},
        {{"--", "sleep", "30"}, input, 128 + 15,
         "> press\n> byte 300\n> stats\nopens=0 setpoll=0 getsts=0 bytes=1 polltime=-1\n",
         "'byte 300': byte takes one number from 0 to 255"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {KVOCRKEY_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ToolRun run = RunTool(argv, c.in);
        EXPECT_EQ(c.status, run.status) << c.args[0];
        EXPECT_EQ(c.out, run.out) << c.args[0];
        EXPECT_EQ("kvocrkey: " + c.err + "\n", run.err);
    }
    ToolRun help = RunTool({KVOCRKEY_PATH, "--help"});
    EXPECT_TRUE(help.status == 0 && help.err.empty());
    for (const char *part : {"\n  press ", "\n  release ", "\n  byte N ", "\n  fail open ERRNO ", "\n  fail setpoll ERRNO ",
                             "\n  fail getsts ERRNO ", "\n  fail read ERRNO ", "\n  stats ", "\n  quit ",
                             "the end of input (Ctrl-D) kvocrkey stops the program with SIGTERM"})
        EXPECT_NE(std::string::npos, help.out.find(part)) << part;
}

} // namespace
