// veltctl against a private store: its output formats, batch word splitting,
// failure messages and exit status, watch.
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

// Dump lines in byte order with escapes and times; get's text as it is; status lines.
TEST(Veltctl, Output) {
    private_store store;
    const std::string text = "tab\there\nnl\\bs\rcr";
    store.ctl_ok({"set", "/b/s", "string", text, "/a/n", "int32", "-5", "/a/e", "string", "", "/Zürich",
                  "binary", "00ff"});
    store.ctl_ok({"add", "/a/d"});
    EXPECT_EQ(store.dump(),
              "leaf /Zürich binary 00ff\nnode /a\nnode /a/d\nleaf /a/e string \nleaf /a/n int32 -5\n"
              "node /b\nleaf /b/s string tab\\there\\nnl\\\\bs\\rcr\n");
    // With --times every leaf line, and only leaf lines, ends in a time stamp of about now.
    const std::string timed = store.ctl_ok({"dump", "a//", "--times"});
    EXPECT_EQ(mask_times(timed), "node /a\nnode /a/d\nleaf /a/e string  @T\nleaf /a/n int32 -5 @T\n");
    EXPECT_LE(std::labs(std::stol(timed.substr(timed.rfind('@') + 1)) - std::time(nullptr)), 60);
    EXPECT_EQ(store.ctl_ok({"dump", "--times", "/a"}), timed);
    EXPECT_EQ(store.ctl_ok({"get", "/b/s"}), text + "\n");
    const std::string status = "\n" + store.ctl_ok({"status"});
    for (const char* line :
         {"\nclients 1\n", "\nsubscribers 0\n", "\nnodes 3\n", "\nleaves 4\n", "\npending 0\n"})
        EXPECT_NE(status.find(line), std::string::npos) << status;
}

TEST(Veltctl, BatchSplitsWordsLikeTheShell) {
    // A word as written in a batch line, and the value it stands for.
    const std::vector<std::pair<std::string, std::string>> words = {
        {"'it'\\''s'", "it's"},
        {"a'b'\"c\"d", "abcd"},
        {"''", ""},
        {"\\'\\\"\\\\", "'\"\\"},
        {"'\\n'", "\\n"},
        {"\"say \\\"hi\\\" \\\\ \\$HOME \\`x\\` \\n\"", "say \"hi\" \\ $HOME `x` \\n"},
        {"\"a  'b'\ttab\"", "a  'b'\ttab"},
        // Quotes span lines; a backslash and a line feed join two lines.
        {"'one\ntwo'", "one\ntwo"},
        {"\"three\nfour\"", "three\nfour"},
        {"fi\\\nve", "five"},
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

// A failure: status 1 and one line on standard error, "veltctl: ...", followed
// by the usage text for bad usage. A batch stops at its first failure, naming
// its line and leaving what came before.
TEST(Veltctl, Failures) {
    temp_dir dir;
    const std::string bad = dir.file("bad");
    write_file(bad, "add /ok\nremove /\n");
    struct row {
        strings args;
        std::string input, message, dump;  // part of the message; the store afterwards
        bool usage = false;
    };
    const std::vector<row> rows = {
        {{"batch"}, "add /a\nadd 'open\nadd /b\n", "line 2: unterminated single quote", "node /a\n"},
        {{"batch"}, "add /a\\", "line 1: backslash at the end of the input", ""},
        // Lines are counted across requests that span several.
        {{"batch"},
         "set /s string 'a\nb' \\\n /c int32 1\nadd /b\nadd /b/..\\\n/\x01\n",
         "line 5: add failed: invalid argument (code 1)",
         "node /b\nleaf /c int32 1\nleaf /s string a\\nb\n"},
        {{"batch"},
         "add /a\nset /a/x int32 1\nadd /a/x/y\nadd /c\n",
         "line 3: add failed: conflict (code 2)",
         "node /a\nleaf /a/x int32 1\n"},
        {{"batch"}, "# first\nset /v int32 abc\n", "line 2: set: 'abc' is not a valid int32 value", ""},
        {{"batch"}, "add /a\nfrobnicate /x\n", "line 2: unknown command 'frobnicate'", "node /a\n"},
        {{"batch"}, "watch /\n", "line 1: watch cannot be used in a batch", ""},
        {{"batch", bad}, "", bad + ": line 2: remove failed: invalid argument (code 1)", "node /ok\n"},
        {{"batch", dir.file("miss\ning")}, "", "miss\\ning: No such file", ""},  // one line still
        {{"dump", "/missing"}, "", "dump: no such path: '/missing'", ""},
        {{"get", "/"}, "", "get: '/' is a node", ""},
        {{"get", "/none"}, "", "get: no such leaf: '/none'", ""},
        {{}, "", "no command given", "", true},
        {{"frobnicate"}, "", "unknown command 'frobnicate'", "", true},
        {{"set", "/a", "int32"}, "", "set needs PATH TYPE VALUE", "", true},
        {{"get", "/a", "/b"}, "", "get needs one PATH", "", true},
        {{"dump", "--bogus"}, "", "unknown option '--bogus'", "", true},
        {{"failpoint", "add_nodes", "1", "sometimes"}, "", "not 'sometimes'", "", true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.message);
        private_store store;
        const result res = store.ctl(r.args, r.input);
        const size_t end = res.err.find('\n') + 1;
        EXPECT_EQ(res.status, 1);
        EXPECT_EQ(res.err.rfind("veltctl: ", 0), 0u) << res.err;
        EXPECT_NE(res.err.substr(0, end).find(r.message), std::string::npos) << res.err;
        EXPECT_EQ(res.err.substr(end, r.usage ? 14 : std::string::npos), r.usage ? "usage: veltctl" : "");
        EXPECT_EQ(store.dump(), r.dump);
    }
    const result gone = run({VELTCTL_BIN, "ping"}, {.env = {"VELT_SOCKET=" + dir.file("no.sock")}});
    EXPECT_EQ(gone.err, "veltctl: cannot reach the store at " + dir.file("no.sock") + "\n");
    // A failpoint's code shows in the message; "always" lasts until cleared.
    private_store store;
    store.ctl_ok({"failpoint", "add_nodes", "7", "always"});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(store.ctl({"add", "/n"}).err, "veltctl: add failed: error (code 7)\n");
    store.ctl_ok({"failpoint", "clear"});
    store.ctl_ok({"add", "/n"});
}

TEST(Veltctl, WatchPrintsEachBatchAsItArrivesUntilStopped) {
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
    const std::string failed = "veltctl: watch: fetching events failed: connection lost (code -1)\n";
    ASSERT_TRUE(wait_until([&] { return watch.err() == failed; }));
    store.ctl_ok({"clear", "/w/x/v"});
    ASSERT_TRUE(wait_until([&] { return watch.out().find("CMD_CLEAR_LEAF") != std::string::npos; }));
    EXPECT_EQ(mask_times(watch.out()),
              "batch 1\n  CMD_ADD_NODE /w @T\n  CMD_ADD_NODE /w/x @T\n"
              "batch 2\n  CMD_SET_LEAF /w/x/v string a\\tb @T\n  CMD_SET_LEAF /w/n double -0 @T\n"
              "batch 3\n  CMD_CLEAR_LEAF /w/x/v @T\n");
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.wait(), 0);
    // The other one ends when the store goes.
    ASSERT_TRUE(wait_until([&] { return all.err() == failed; }));
    store.kill();
    EXPECT_EQ(all.wait(), 1);
    EXPECT_EQ(all.err(), failed + "veltctl: watch: connection lost\n");
}

}  // namespace
