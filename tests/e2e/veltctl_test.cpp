// veltctl against a private store: dump format, batch word splitting and
// errors, get, status, failure messages and exit status, watch.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;

// Every time stamp " @SEC.USEC" replaced by " @T"; fails unless USEC has six digits.
std::string mask_times(const std::string& text) {
    static const std::regex time_re(" @[0-9]+\\.[0-9]{6}\n");
    return std::regex_replace(text, time_re, " @T\n");
}

// A failure: exit status 1 and one line on standard error, "veltctl: ...".
void expect_failure(const result& r, const std::string& needle) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("veltctl: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << "expected \"" << needle << "\" in: " << r.err;
}

TEST(VeltctlDump, FormatAndEscapes) {
    private_store store;
    store.ctl_ok({"set", "/b/s", "string", "tab\there\nnl\\bs\rcr", "/a/n", "int32", "-5", "/a/e", "string",
                  "", "/Zürich", "binary", "00ff"});
    store.ctl_ok({"add", "/a/d"});
    EXPECT_EQ(store.dump(),
              "leaf /Zürich binary 00ff\nnode /a\nnode /a/d\nleaf /a/e string \nleaf /a/n int32 -5\n"
              "node /b\nleaf /b/s string tab\\there\\nnl\\\\bs\\rcr\n");
    // With --times every leaf line, and only leaf lines, ends in a time stamp of about now.
    const std::string timed = store.ctl_ok({"dump", "a//", "--times"});
    EXPECT_EQ(mask_times(timed), "node /a\nnode /a/d\nleaf /a/e string  @T\nleaf /a/n int32 -5 @T\n");
    EXPECT_LE(std::labs(std::stol(timed.substr(timed.rfind('@') + 1)) - std::time(nullptr)), 60);
    EXPECT_EQ(store.ctl_ok({"dump", "--times", "/a"}), timed);
    expect_failure(store.ctl({"dump", "/missing"}), "no such path");
}

TEST(VeltctlBatch, SplitsWordsLikeTheShell) {
    // A word as written in a batch line, and the value it stands for.
    const std::vector<std::pair<std::string, std::string>> words = {
        {"'it'\\''s'", "it's"},
        {"\"say \\\"hi\\\" \\\\ \\$HOME \\`x\\` \\n\"", "say \"hi\" \\ $HOME `x` \\n"},
        {"a'b'\"c\"d", "abcd"},
        {"''", ""},
        {"\"a  'b'\ttab\"", "a  'b'\ttab"},
        {"\\'\\\"\\\\", "'\"\\"},
        {"'\\n'", "\\n"},
        {"'one\ntwo'", "one\ntwo"},  // quotes span lines
        {"\"three\nfour\"", "three\nfour"},
        {"fi\\\nve", "five"},  // a backslash and a line feed join two lines
        {"\"si\\\nx\"", "six"}};
    std::string input = "# a comment\n   # an indented comment\n\n  \t \n", want;
    for (const auto& [written, value] : words) {
        input += "set /v string " + written + "\nget /v\n";
        want += value + "\n";
    }
    private_store store;
    EXPECT_EQ(store.ctl_ok({"batch"}, input), want);
    // Tabs separate words; '#' starts a comment only at the start of a word; no
    // line feed at the end.
    store.ctl_ok({"batch"}, "add /n1 '/n 2' /n\\ 3 #x 'y\nadd /h#x\nset\t/v\tbool\ttrue");
    EXPECT_EQ(store.dump(), "node /h#x\nnode /n 2\nnode /n 3\nnode /n1\nleaf /v bool true\n");
}

TEST(VeltctlBatch, StopsAtTheFirstFailureNamingTheLine) {
    struct failing {
        std::string input;
        std::string message;  // part of the error
        std::string dump;     // what the store holds afterwards
    };
    const std::vector<failing> cases = {
        {"add /a\nadd 'open\nadd /b\n", "line 2: unterminated single quote", "node /a\n"},
        {"add /a\\", "line 1: backslash at the end of the input", ""},
        // Lines are counted across requests that span several.
        {"set /s string 'a\nb' \\\n /c int32 1\nadd /b\nadd /b/..\\\n/\x01\n",
         "line 5: add failed: invalid argument", "node /b\nleaf /c int32 1\nleaf /s string a\\nb\n"},
        {"add /a\nset /a/x int32 1\nadd /a/x/y\nadd /c\n", "line 3: add failed: conflict (code 2)",
         "node /a\nleaf /a/x int32 1\n"},
        {"# first\nset /v int32 abc\n", "line 2: set: 'abc' is not a valid int32 value", ""},
        {"add /a\nfrobnicate /x\n", "line 2: unknown command 'frobnicate'", "node /a\n"},
        {"watch /\n", "line 1: watch cannot be used in a batch", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        private_store store;
        expect_failure(store.ctl({"batch"}, c.input), c.message);
        EXPECT_EQ(store.dump(), c.dump);
    }
    private_store store;
    temp_dir dir;
    write_file(dir.file("bad.batch"), "add /ok\nremove /\n");
    expect_failure(store.ctl({"batch", dir.file("bad.batch")}),
                   dir.file("bad.batch") + ": line 2: remove failed: invalid argument (code 1)");
    EXPECT_EQ(store.dump(), "node /ok\n");
    // Names are escaped, so that a message stays on one line.
    expect_failure(store.ctl({"batch", dir.file("miss\ning")}), "miss\\ning: No such file");
}

TEST(VeltctlCommands, GetStatusAndFailures) {
    temp_dir dir;
    expect_failure(run({VELTCTL_BIN, "ping"}, {.env = {"VELT_SOCKET=" + dir.file("no.sock")}}),
                   "cannot reach the store at " + dir.file("no.sock"));
    private_store store;
    // Unlike a dump, get escapes nothing.
    const std::string text = "line one\nline\ttwo \\ Zürich\r";
    store.ctl_ok({"set", "/v/leaf", "string", text});
    EXPECT_EQ(store.ctl_ok({"get", "/v/leaf"}), text + "\n");
    expect_failure(store.ctl({"get", "/v"}), "is a node");
    expect_failure(store.ctl({"get", "/v/none"}), "no such leaf");
    expect_failure(store.ctl({"set", "/s", "none", ""}), "set failed: invalid argument");
    const std::string status = "\n" + store.ctl_ok({"status"});
    for (const char* line : {"clients 1", "subscribers 0", "nodes 1", "leaves 1", "pending 0"})
        EXPECT_NE(status.find(std::string("\n") + line + "\n"), std::string::npos)
            << line << " in " << status;

    // A failpoint's code shows in the message; "always" lasts until cleared.
    store.ctl_ok({"failpoint", "add_nodes", "7", "always"});
    expect_failure(store.ctl({"add", "/n"}), "add failed: error (code 7)");
    expect_failure(store.ctl({"add", "/n"}), "add failed: error (code 7)");
    store.ctl_ok({"failpoint", "clear"});
    store.ctl_ok({"add", "/n"});

    // Bad usage: a message and the usage text, nothing sent.
    const std::vector<strings> bad = {{},
                                      {"frobnicate"},
                                      {"set", "/a", "int32"},
                                      {"get", "/a", "/b"},
                                      {"dump", "--bogus"},
                                      {"failpoint", "add_nodes", "1", "sometimes"}};
    for (const auto& args : bad) {
        const auto r = store.ctl(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("veltctl: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("usage: veltctl"), std::string::npos) << r.err;
    }
    EXPECT_EQ(store.dump(), "node /n\nnode /v\nleaf /v/leaf string line one\\nline\\ttwo \\\\ Zürich\\r\n");
}

TEST(VeltctlWatch, PrintsEachBatchAsItArrivesUntilStopped) {
    private_store store;
    process watch({VELTCTL_BIN, "watch", "/w"}, {.env = {store.env()}});
    process all({VELTCTL_BIN, "watch"}, {.env = {store.env()}});
    ASSERT_TRUE(wait_until([&] { return store.status_value("subscribers") == 2; }));
    store.ctl_ok({"add", "/w/x"});
    // Flushed at once: the first batch shows before any other change.
    ASSERT_TRUE(wait_until([&] { return watch.out().find("/w/x @") != std::string::npos; }));
    store.ctl_ok({"set", "/w/x/v", "string", "a\tb", "/w/n", "double", "-0"});
    store.ctl_ok({"add", "/other"});  // not under /w: no batch
    // A fetch failed on purpose with the code of a lost connection is
    // reported, and the watch goes on.
    store.ctl_ok({"failpoint", "events_get", "-1"});
    ASSERT_TRUE(wait_until([&] { return watch.err().find("(code -1)") != std::string::npos; }));
    store.ctl_ok({"clear", "/w/x/v"});
    ASSERT_TRUE(wait_until([&] { return watch.out().find("CMD_CLEAR_LEAF") != std::string::npos; }));
    EXPECT_EQ(mask_times(watch.out()),
              "batch 1\n  CMD_ADD_NODE /w @T\n  CMD_ADD_NODE /w/x @T\n"
              "batch 2\n  CMD_SET_LEAF /w/x/v string a\\tb @T\n  CMD_SET_LEAF /w/n double -0 @T\n"
              "batch 3\n  CMD_CLEAR_LEAF /w/x/v @T\n");
    EXPECT_EQ(watch.err(), "veltctl: watch: fetching events failed: connection lost (code -1)\n");
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.wait(), 0);

    // The other one ends when the store goes.
    ASSERT_TRUE(wait_until([&] { return all.err().find("(code -1)") != std::string::npos; }));
    store.kill();
    EXPECT_EQ(all.wait(), 1);
    EXPECT_EQ(all.err(),
              "veltctl: watch: fetching events failed: connection lost (code -1)\n"
              "veltctl: watch: connection lost\n");
}

}  // namespace
