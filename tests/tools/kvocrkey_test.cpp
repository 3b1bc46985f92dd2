// kvocrkey as an engineer meets it: the help lists every command, a program
// that cannot be started is one line with its own exit status, each command
// is echoed, and the end of input stops the program with SIGTERM.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "kvoroot.h"
#include "runtool.h"

namespace {

TEST(Kvocrkey, HelpStartFailuresAndTheEndOfInput)
{
    KvoRoot dir; // a place for files
    std::string plain = dir.Dir() + "/plain";
    std::ofstream(plain) << "not a program\n";
    std::string input = dir.Dir() + "/input";
    std::ofstream(input) << "press\nbyte 300\nstats\n";
    const struct {
        std::vector<std::string> args;
        std::string stdinPath;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--", "/nonexistent/kvogdbt"}, "", 127, "",
         "kvocrkey: cannot start /nonexistent/kvogdbt: No such file or directory\n"},
        {{plain}, "", 126, "", "kvocrkey: cannot start " + plain + ": Permission denied\n"},
        {{"-x"}, "", 2, "", "kvocrkey: unknown option '-x' (see kvocrkey --help)\n"},
        {{"--", "sleep", "30"}, input, 128 + 15,
         "> press\n> byte 300\n> stats\nopens=0 setpoll=0 getsts=0 bytes=1 polltime=-1\n",
         "kvocrkey: 'byte 300': byte takes one number from 0 to 255\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {KVOCRKEY_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ToolRun run = RunTool(argv, c.stdinPath, true);
        EXPECT_EQ(run.status, c.status) << c.args[0];
        EXPECT_EQ(run.out, c.out) << c.args[0];
        EXPECT_EQ(run.err, c.err) << c.args[0];
    }

    ToolRun help = RunTool({KVOCRKEY_PATH, "--help"}, "", true);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char *part : {"\n  press ", "\n  release ", "\n  byte N ", "\n  fail open ERRNO ",
                             "\n  fail setpoll ERRNO ", "\n  fail getsts ERRNO ", "\n  fail read ERRNO ",
                             "\n  stats ", "\n  quit ", "the end of input (Ctrl-D) kvocrkey stops the program with SIGTERM"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

} // namespace
