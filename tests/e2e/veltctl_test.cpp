// veltctl against a private store: dump format, batch word splitting and
// errors, get, failure messages and exit status, status, watch.
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

int count_lines(const std::string& text) {
    int n = 0;
    for (const char c : text) n += c == '\n';
    return n;
}

// A failure: exit status 1 and one line on standard error, "veltctl: ...".
void expect_one_line_failure(const result& r, const std::string& needle) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("veltctl: ", 0), 0u) << r.err;
    EXPECT_EQ(count_lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << "expected \"" << needle << "\" in: " << r.err;
}

TEST(VeltctlDump, FormatAndEscapes) {
    private_store store;
    store.ctl_ok({"set", "/b/s", "string", "tab\there\nnl\\bs\rcr", "/a/n", "int32", "-5", "/a/e", "string",
                  "", "/a/z/x", "binary", "00ff", "/Zürich/ort", "string", "Genève"});
    store.ctl_ok({"add", "/c", "/a/d"});
    const std::string all =
        "node /Zürich\n"
        "leaf /Zürich/ort string Genève\n"
        "node /a\n"
        "node /a/d\n"
        "leaf /a/e string \n"
        "leaf /a/n int32 -5\n"
        "node /a/z\n"
        "leaf /a/z/x binary 00ff\n"
        "node /b\n"
        "leaf /b/s string tab\\there\\nnl\\\\bs\\rcr\n"
        "node /c\n";
    EXPECT_EQ(store.dump(), all);
    EXPECT_EQ(store.ctl_ok({"dump", "/a/z"}), "node /a/z\nleaf /a/z/x binary 00ff\n");
    EXPECT_EQ(store.ctl_ok({"dump", "a//z/"}), "node /a/z\nleaf /a/z/x binary 00ff\n");

    // With --times every leaf line, and only leaf lines, ends in a time stamp
    // of about now.
    const std::string timed = store.ctl_ok({"dump", "--times", "/a"});
    EXPECT_EQ(mask_times(timed),
              "node /a\nnode /a/d\nleaf /a/e string  @T\nleaf /a/n int32 -5 @T\nnode /a/z\n"
              "leaf /a/z/x binary 00ff @T\n");
    const auto at = timed.find("-5 @");
    ASSERT_NE(at, std::string::npos);
    const long sec = std::stol(timed.substr(at + 4));
    EXPECT_LE(std::labs(sec - static_cast<long>(std::time(nullptr))), 60);
    EXPECT_EQ(store.ctl_ok({"dump", "/a", "--times"}), timed);

    expect_one_line_failure(store.ctl({"dump", "/missing"}), "no such path");
}

TEST(VeltctlBatch, SplitsWordsLikeTheShell) {
    private_store store;
    const std::string input =
        "# a comment\n"
        "   # an indented comment\n"
        "\n"
        "  \t \n"
        "add /n1 '/n 2' /n\\ 3 /h #x 'y\n"
        "add /h#x\n"
        "set /q/a string 'it'\\''s' /q/b string \"say \\\"hi\\\" \\\\ \\$HOME \\`x\\` \\n\"\n"
        "set /q/c string a'b'\"c\"d /q/d string '' /q/e string \"tab\tin\" /q/f string \"a  'b'\"\n"
        "set /q/g int32 '-7' /q/h string \\'\\\"\\\\ /q/i string '\\n'\n"
        // Quotes span lines; a backslash and a line feed join two lines.
        "set /q/k string 'one\ntwo' /q/l string \"three\nfour\" /q/m \\\n string fi\\\nve\n"
        "set\t/q/j\tbool\ttrue";  // tabs separate words; no line feed at the end
    store.ctl_ok({"batch"}, input);
    EXPECT_EQ(store.dump(),
              "node /h\n"
              "node /h#x\n"
              "node /n 2\n"
              "node /n 3\n"
              "node /n1\n"
              "node /q\n"
              "leaf /q/a string it's\n"
              "leaf /q/b string say \"hi\" \\\\ $HOME `x` \\\\n\n"
              "leaf /q/c string abcd\n"
              "leaf /q/d string \n"
              "leaf /q/e string tab\\tin\n"
              "leaf /q/f string a  'b'\n"
              "leaf /q/g int32 -7\n"
              "leaf /q/h string '\"\\\\\n"
              "leaf /q/i string \\\\n\n"
              "leaf /q/j bool true\n"
              "leaf /q/k string one\\ntwo\n"
              "leaf /q/l string three\\nfour\n"
              "leaf /q/m string five\n");

    // The same from a file, with output of the commands that print.
    temp_dir dir;
    write_file(dir.file("req"), "get /q/a\nget '/q/c'\nstatus\n");
    const std::string out = store.ctl_ok({"batch", dir.file("req")});
    EXPECT_EQ(out.rfind("it's\nabcd\n", 0), 0u) << out;
    for (const char* line : {"clients 1", "subscribers 0", "nodes 6", "leaves 13", "pending 0"})
        EXPECT_NE(("\n" + out).find(std::string("\n") + line + "\n"), std::string::npos)
            << line << " in " << out;
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
        expect_one_line_failure(store.ctl({"batch"}, c.input), c.message);
        EXPECT_EQ(store.dump(), c.dump);
    }

    private_store store;
    temp_dir dir;
    write_file(dir.file("bad.batch"), "add /ok\nremove /\n");
    expect_one_line_failure(store.ctl({"batch", dir.file("bad.batch")}),
                            dir.file("bad.batch") + ": line 2: remove failed: invalid argument (code 1)");
    // Names are escaped, so that a message stays on one line.
    expect_one_line_failure(store.ctl({"batch", dir.file("miss\ning")}), "miss\\ning: No such file");
}

TEST(VeltctlGet, PrintsTheTextAsItIs) {
    private_store store;
    // Unlike a dump, get escapes nothing.
    const std::string text = "line one\nline\ttwo \\ Zürich\r";
    store.ctl_ok({"set", "/v/leaf", "string", text});
    EXPECT_EQ(store.ctl_ok({"get", "/v/leaf"}), text + "\n");
    store.ctl_ok({"set", "/v/leaf", "ipv6", "::ffff:192.0.2.1"});
    EXPECT_EQ(store.ctl_ok({"get", "/v/leaf"}), "::ffff:192.0.2.1\n");
    expect_one_line_failure(store.ctl({"get", "/v"}), "is a node");
    expect_one_line_failure(store.ctl({"get", "/v/none"}), "no such leaf");
    expect_one_line_failure(store.ctl({"get", "/v/leaf/under"}), "get");
}

TEST(VeltctlFailures, MessagesAndExitStatus) {
    temp_dir dir;
    const auto unreachable = run({VELTCTL_BIN, "ping"}, {.env = {"VELT_SOCKET=" + dir.file("no.sock")}});
    expect_one_line_failure(unreachable, "cannot reach the store at " + dir.file("no.sock"));

    private_store store;
    store.ctl_ok({"set", "/l", "int32", "1"});
    expect_one_line_failure(store.ctl({"add", "/"}), "add failed: invalid argument (code 1)");
    expect_one_line_failure(store.ctl({"add", "/l/x"}), "add failed: conflict (code 2)");
    expect_one_line_failure(store.ctl({"set", "/s", "int32", " 1"}), "not a valid int32 value");
    expect_one_line_failure(store.ctl({"set", "/s", "none", ""}), "invalid argument");

    // A failpoint's code shows in the message.
    store.ctl_ok({"failpoint", "add_nodes", "7", "always"});
    expect_one_line_failure(store.ctl({"add", "/n"}), "add failed: error (code 7)");
    store.ctl_ok({"failpoint", "clear"});
    store.ctl_ok({"add", "/n"});
    store.ctl_ok({"set", "/l", "int32", "3"});
    EXPECT_EQ(store.dump(), "leaf /l int32 3\nnode /n\n");

    // Bad usage: a message and the usage text, nothing sent.
    const std::vector<std::vector<std::string>> bad = {{},
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
    EXPECT_EQ(store.dump(), "leaf /l int32 3\nnode /n\n");
}

TEST(VeltctlWatch, PrintsEachBatchAsItArrives) {
    private_store store;
    process watch({VELTCTL_BIN, "watch", "/w"}, {.env = {store.env()}});
    ASSERT_TRUE(wait_until([&] { return store.status_value("subscribers") == 1; }));

    store.ctl_ok({"add", "/w/x"});
    // Flushed at once: the first batch shows before any other change.
    ASSERT_TRUE(wait_until([&] { return watch.out().find("/w/x @") != std::string::npos; }));
    store.ctl_ok({"set", "/w/x/v", "string", "a\tb", "/w/n", "double", "-0"});
    store.ctl_ok({"add", "/other"});  // not under /w: no batch
    store.ctl_ok({"clear", "/w/x/v"});
    ASSERT_TRUE(wait_until([&] { return watch.out().find("CMD_CLEAR_LEAF") != std::string::npos; }));
    ASSERT_TRUE(wait_until([&] { return store.status_value("pending") == 0; }));
    EXPECT_TRUE(watch.running());

    watch.signal(SIGTERM);
    EXPECT_EQ(watch.wait(), 0);
    EXPECT_EQ(mask_times(watch.out()),
              "batch 1\n"
              "  CMD_ADD_NODE /w @T\n"
              "  CMD_ADD_NODE /w/x @T\n"
              "batch 2\n"
              "  CMD_SET_LEAF /w/x/v string a\\tb @T\n"
              "  CMD_SET_LEAF /w/n double -0 @T\n"
              "batch 3\n"
              "  CMD_CLEAR_LEAF /w/x/v @T\n");
    EXPECT_EQ(watch.err(), "");
}

TEST(VeltctlWatch, EndsOnSignalOrLostConnection) {
    private_store store;
    {
        process watch({VELTCTL_BIN, "watch"}, {.env = {store.env()}});
        ASSERT_TRUE(wait_until([&] { return store.status_value("subscribers") == 1; }));
        watch.signal(SIGINT);
        EXPECT_EQ(watch.wait(), 0);
        EXPECT_EQ(watch.out(), "");
    }
    process watch({VELTCTL_BIN, "watch", "/"}, {.env = {store.env()}});
    ASSERT_TRUE(wait_until([&] { return store.status_value("subscribers") == 1; }));
    // A fetch failed on purpose with the code of a lost connection is
    // reported, and the watch goes on.
    store.ctl_ok({"failpoint", "events_get", "-1"});
    ASSERT_TRUE(wait_until([&] { return watch.err().find("(code -1)") != std::string::npos; }));
    store.ctl_ok({"add", "/after"});
    ASSERT_TRUE(wait_until([&] { return watch.out().find("/after @") != std::string::npos; }));
    EXPECT_TRUE(watch.running());
    store.kill();
    EXPECT_EQ(watch.wait(), 1);
    EXPECT_EQ(watch.err(),
              "veltctl: watch: fetching events failed: connection lost (code -1)\n"
              "veltctl: watch: connection lost\n");
}

}  // namespace
