// Command line of rorezuredi: the usage and version texts, rejections, and
// the statuses of an unreachable store and of logs that can't be opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;
using std::string;

const string prog = ROREZUREDI_BIN;

const string usage = "Usage:\n" + prog +
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

// The build date as "Build date: D"; any other form is left as it is.
const std::regex build_date(
    "Build date: (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12][0-9]|3[01]) [0-9]{4} "
    "([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\n");
const string version = prog + ": version 2.0.0\nBuild date: D\n$Revision: 47107 $\n\n";

const string no_delay = "Error: bad delay value: 0\n" + usage, no_store = "Error: can't connect to VELT\n";
const string empty_log = string(log_decl) + "<dump>\n</dump>\n";
const string replayed = "Parsing XML...\nSorting list of 0 event batches...\nReplaying events:\n\nDone.\n";
const auto cannot_open = [](const string& name) { return "Error: can't open file at '" + name + "'\n"; };

// Each row runs in an empty directory that it must leave empty, with an
// empty log on standard input; `reach` false points it at no store, and
// `refuse` makes the store refuse the subscription with that code.
struct row {
    strings args;
    int status;
    string err, out;
    bool reach = true;
    string refuse;
};
const row rows[] = {
    // Not an option, a missing or empty value: the usage text.
    {{"bare"}, 1, usage},
    {{"-td"}, 1, usage},
    {{"--help"}, 1, usage},
    {{"-p", "/a", "extra"}, 1, usage},
    {{"-f"}, 1, usage},
    {{"-w"}, 1, usage},
    {{"-x", ""}, 1, usage},
    {{"-a", "", "-v"}, 1, usage},
    // Capture against replay, and options that exclude each other, either order.
    {{"-f", "a.xml", "-l", "b.xml"}, 1, usage},
    {{"-l", "b.xml", "-f", "a.xml"}, 1, usage},
    {{"-t", "-f", "a.xml"}, 1, usage},
    {{"-f", "a.xml", "-w", "5"}, 1, usage},
    {{"-p", "/a", "-x", "/b"}, 1, usage},
    {{"-i", "speed", "-a", "mtu"}, 1, usage},
    {{"-d", "-w", "5"}, 1, usage},
    {{"-w", "5", "-d"}, 1, usage},
    // Bad delays: the number as atol reads it, before the -d conflict; the
    // first rejection ends the parsing.
    {{"-w", "abc"}, 1, no_delay},
    {{"-w", "  -7us"}, 1, "Error: bad delay value: -7\n" + usage},
    {{"-d", "-w", "0"}, 1, no_delay},
    {{"-w", "0", "-w", "-5"}, 1, no_delay},
    {{"-q", "-v"}, 1, usage},
    // The version when reached before any fault, with no store to reach.
    {{"-v"}, 0, "", version, false},
    {{"-v", "-bogus"}, 0, "", version, false},
    {{"-v", "-f", "a.xml", "-l", "b.xml"}, 0, "", version, false},
    {{"-w", "5", "-v", "-w", "0"}, 0, "", version, false},
    {{"-f", "a.xml", "-v"}, 0, "", version, false},
    // An unreachable store: no log is created.
    {{"-f", "log.xml"}, 1, no_store, "", false},
    {{"-l", "log.xml"}, 1, no_store, "", false},
    {{"-t"}, 1, no_store, "", false},
    // A refused subscription: no log is opened.
    {{"-f", "log.xml"}, 1, "Error: can't register: 7/0\n", "", true, "7"},
    {{"-f", "log.xml"}, 1, "Error: can't register: 0/0\n", "", true, "0"},
    {{"-f", "log.xml"}, 1, "Error: can't register: -2/0\n", "", true, "-2"},
    // A value starting with '-' is a file name, "-w 10abc" a delay of 10.
    {{"-l", "missing.xml"}, 255, cannot_open("missing.xml")},
    {{"-l", "-v"}, 255, cannot_open("-v")},
    {{"-l", "first.xml", "-l", "second.xml"}, 255, cannot_open("second.xml")},
    {{"-w", "10abc", "-l", "missing.xml"}, 255, cannot_open("missing.xml")},
    {{"-f", "nodir/log.xml"}, 255, cannot_open("nodir/log.xml")},
    {{"-f", "log.xml", "-f", "nodir/log.xml"}, 255, cannot_open("nodir/log.xml")},
    {{"-p", "-x", "-f", "nodir/-"}, 255, cannot_open("nodir/-")},
    // Replay options alone replay standard input.
    {{"-t"}, 0, "", replayed},
    {{"-d"}, 0, "", replayed},
    {{"-w", "1"}, 0, "", replayed},
};

TEST(CommandLine, StatusAndTexts) {
    private_store store;
    temp_dir nowhere;
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        if (!r.refuse.empty()) store.ctl_ok({"failpoint", "register", r.refuse});
        temp_dir cwd;
        strings argv{prog};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        const string env = r.reach ? store.env() : "VELT_SOCKET=" + nowhere.file("none.sock");
        const result res = run(argv, {.input = empty_log, .env = {env}, .cwd = cwd.path()});
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.err, r.err);
        EXPECT_EQ(std::regex_replace(res.out, build_date, "Build date: D\n"), r.out);
        EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
    }
}

}  // namespace
