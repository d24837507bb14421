// Command line of rorezuredi: rejections, the version text, option values,
// and the statuses of an unreachable store and of logs that can't be opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using std::string;
using strings = std::vector<string>;

const string prog = ROREZUREDI_BIN;

string usage_text()
{
    return "Usage:\n" + prog +
           " [-f <file> | -l <file>] [-p <path> [-p <path> ...]] [-x <path> [-x <path> ...]] "
           "[-a <attr> [-a <attr> ...]] [-i <attr> [-i <attr> ...]] [-t] [-d | -w <delay>] [-v]\n"
           "\t-f: Save event data to <file> (default: stdout)\n"
           "\t-l: Replay event data from <file>\n"
           "\t-p: Dump/load only events under <path>\n"
           "\t-x: Dump/load only events not under <path>\n"
           "\t-a: Dump/load SET_LEAF events only when attribute matches <attr>\n"
           "\t-i: Dump/load SET_LEAF events only when attribute doesn't match <attr>\n"
           "\t-t: Preserve original timestamps [replay only]\n"
           "\t-d: Use original timing delays [replay only]\n"
           "\t-w: Wait <delay> microseconds between actions [replay only]\n"
           "\t-v: Print version info. to stdout and exit\n\n";
}

const string empty_log = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<dump>\n</dump>\n";

strings with_prog(const strings& args)
{
    strings argv{prog};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

string joined(const strings& args)
{
    string s;
    for (const string& a : args) s += " '" + a + "'";
    return s;
}

bool dir_empty(const string& path)
{
    return std::filesystem::is_empty(path);
}

TEST(CommandLine, RejectionsPrintUsageAndTouchNothing)
{
    struct row {
        strings args;
        string message;  // written before the usage text
    };
    const string no_delay = "Error: bad delay value: 0\n";
    const std::vector<row> rows = {
        // Not an option.
        {{"bare"}, ""}, {{"-td"}, ""}, {{"--help"}, ""}, {{""}, ""}, {{"-F", "x"}, ""}, {{"-p", "/a", "extra"}, ""},
        // Missing or empty values.
        {{"-f"}, ""}, {{"-l"}, ""}, {{"-p"}, ""}, {{"-x"}, ""}, {{"-a"}, ""}, {{"-i"}, ""}, {{"-w"}, ""},
        {{"-x", ""}, ""}, {{"-f", ""}, ""}, {{"-w", ""}, ""}, {{"-a", "", "-v"}, ""},
        // Capture against replay, either order.
        {{"-f", "a.xml", "-l", "b.xml"}, ""}, {{"-l", "b.xml", "-f", "a.xml"}, ""},
        {{"-f", "a.xml", "-t"}, ""}, {{"-t", "-f", "a.xml"}, ""}, {{"-f", "a.xml", "-d"}, ""},
        {{"-d", "-f", "a.xml"}, ""}, {{"-f", "a.xml", "-w", "5"}, ""}, {{"-w", "5", "-f", "a.xml"}, ""},
        // Options that exclude each other, either order.
        {{"-p", "/a", "-x", "/b"}, ""}, {{"-x", "/b", "-p", "/a"}, ""}, {{"-a", "mtu", "-i", "speed"}, ""},
        {{"-i", "speed", "-a", "mtu"}, ""}, {{"-d", "-w", "5"}, ""}, {{"-w", "5", "-d"}, ""},
        // Bad delays: the number read, then the usage; before the -d conflict.
        {{"-w", "abc"}, no_delay}, {{"-w", "0"}, no_delay}, {{"-w", "-3"}, "Error: bad delay value: -3\n"},
        {{"-w", "  -7us"}, "Error: bad delay value: -7\n"}, {{"-d", "-w", "0"}, no_delay},
        // The first rejection ends the parsing.
        {{"-w", "0", "-w", "-5"}, no_delay}, {{"-q", "-v"}, ""}, {{"-f", "a", "-l", "b", "-v"}, ""},
        {{"-q", "-w", "0"}, ""},
    };

    harness::private_store store;
    for (const row& r : rows) {
        harness::temp_dir cwd;
        const harness::result res = harness::run(
            with_prog(r.args), {.env = {store.env()}, .cwd = cwd.path(), .timeout_ms = 10000});
        EXPECT_EQ(res.status, 1) << joined(r.args);
        EXPECT_EQ(res.err, r.message + usage_text()) << joined(r.args);
        EXPECT_EQ(res.out, "") << joined(r.args);
        EXPECT_TRUE(dir_empty(cwd.path())) << joined(r.args);
    }
}

TEST(CommandLine, VersionWhenReachedBeforeAnyFault)
{
    const std::regex text(
        "Build date: (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12][0-9]|3[01]) [0-9]{4} "
        "([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\n"
        "\\$Revision: 47107 \\$\n\n");
    const string head = prog + ": version 2.0.0\n";
    const strings cases[] = {
        {"-v"}, {"-v", "-bogus"}, {"-v", "-f", "a.xml", "-l", "b.xml"}, {"-p", "/a", "-v", "-x", "/b"},
        {"-w", "5", "-v", "-w", "0"}, {"-f", "a.xml", "-v"},
    };
    // The store can't be reached: "-v" must not need it.
    harness::temp_dir nowhere;
    for (const strings& args : cases) {
        harness::temp_dir cwd;
        const harness::result res = harness::run(
            with_prog(args), {.env = {"VELT_SOCKET=" + nowhere.file("none.sock")}, .cwd = cwd.path()});
        EXPECT_EQ(res.status, 0) << joined(args);
        EXPECT_EQ(res.err, "") << joined(args);
        EXPECT_EQ(res.out.compare(0, head.size(), head), 0) << joined(args) << ": " << res.out;
        EXPECT_TRUE(res.out.size() >= head.size() && std::regex_match(res.out.substr(head.size()), text))
            << res.out;
        EXPECT_TRUE(dir_empty(cwd.path())) << joined(args);
    }
}

TEST(CommandLine, UnreachableStoreCreatesNoLog)
{
    harness::temp_dir nowhere;
    const strings cases[] = {{"-f", "log.xml"}, {"-l", "log.xml"}, {}, {"-t"}};
    for (const strings& args : cases) {
        harness::temp_dir cwd;
        const harness::result res = harness::run(
            with_prog(args), {.env = {"VELT_SOCKET=" + nowhere.file("none.sock")}, .cwd = cwd.path()});
        EXPECT_EQ(res.status, 1) << joined(args);
        EXPECT_EQ(res.err, "Error: can't connect to VELT\n") << joined(args);
        EXPECT_EQ(res.out, "") << joined(args);
        EXPECT_TRUE(dir_empty(cwd.path())) << joined(args);
    }
}

TEST(CommandLine, LogsThatCannotBeOpened)
{
    harness::private_store store;
    struct row {
        strings args;
        string name;
    };
    // Each of these passes the parsing: a value starting with '-' is a file
    // name, and "-w 10abc" is a delay of 10.
    const std::vector<row> rows = {
        {{"-l", "missing.xml"}, "missing.xml"},
        {{"-l", "-v"}, "-v"},
        {{"-l", "first.xml", "-l", "second.xml"}, "second.xml"},
        {{"-w", "10abc", "-l", "missing.xml"}, "missing.xml"},
        {{"-d", "-t", "-l", "missing.xml"}, "missing.xml"},
        {{"-a", "mtu", "-a", "mtu", "-l", "-"}, "-"},
        {{"-f", "nodir/log.xml"}, "nodir/log.xml"},
        {{"-f", "log.xml", "-f", "nodir/log.xml"}, "nodir/log.xml"},
        {{"-p", "-x", "-f", "nodir/-"}, "nodir/-"},
    };
    for (const row& r : rows) {
        harness::temp_dir cwd;
        const harness::result res = harness::run(
            with_prog(r.args), {.env = {store.env()}, .cwd = cwd.path(), .timeout_ms = 10000});
        EXPECT_EQ(res.status, 255) << joined(r.args);
        EXPECT_EQ(res.err, "Error: can't open file at '" + r.name + "'\n") << joined(r.args);
        EXPECT_EQ(res.out, "") << joined(r.args);
        EXPECT_TRUE(dir_empty(cwd.path())) << joined(r.args);
    }
}

TEST(CommandLine, ReplayOptionsAloneReadStandardInput)
{
    harness::private_store store;
    const strings cases[] = {{"-t"}, {"-d"}, {"-w", "1"}};
    for (const strings& args : cases) {
        const harness::result res =
            harness::run(with_prog(args), {.input = empty_log, .env = {store.env()}, .timeout_ms = 10000});
        EXPECT_EQ(res.status, 0) << joined(args) << ": " << res.err;
        EXPECT_EQ(res.out.rfind("Parsing XML...\n", 0), 0u) << joined(args) << ": " << res.out;
    }
}

}  // namespace
