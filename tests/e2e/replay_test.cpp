// Replay end to end: rorezuredi -l against a private store, checked through
// its output, its status and the store's dump.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;
using std::string;

// "@SEC.USEC" at the end of a line, as seconds.
double stamp_of(const string& line) {
    const size_t at = line.rfind(" @");
    return at == string::npos ? -1 : std::strtod(line.c_str() + at + 2, nullptr);
}

// File order is not time order: seconds decide before nanoseconds.
TEST(Replay, AppliesEveryCommandInTimeOrderAndReportsProgress) {
    const string log = log_document(
        log_batch("3.000020500", "CMD_REMOVE_NODE", log_event("/q", "1700000003.000811")) +
        log_batch("0.000000000", "CMD_ADD_NODE", log_event("/a/b", "1700000000.004870") + log_event("/q")) +
        log_batch("1.250000002", "CMD_SET_LEAF",
                  log_leaf("/a/b/c", "int32", "42", "1700000001.254998") +
                      log_leaf("/a/b/d", "string", "x &amp; &lt;y&gt;&#10;z", "1700000001.254999") +
                      log_leaf("/a/ip", "ipv4", "192.0.2.1", "1700000001.000001") +
                      log_leaf("/a/mac", "mac", "00:1b:21:aa:bb:cc") +
                      log_leaf("/a/gone", "bool", "true", "1700000001.000002")) +
        log_batch("1.250000001", "CMD_SET_LEAF", log_leaf("/a/b/c", "int32", "41")) +
        log_batch("2.0", "CMD_CLEAR_LEAF", log_event("/a/gone", "1700000002.000000")) +
        log_batch("2.999999999", "CMD_ADD_NODE", log_event("/q/late")));
    private_store store;
    // The precise clock: time() reads a coarse one that can lag the store's
    // stamps by a few milliseconds.
    auto now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const double before = now();
    const result r = replay(store, log);
    const double after = now();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Parsing XML...\nSorting list of 6 event batches...\nReplaying events:\n"
              "\rBatch            0 (out of 6) [ | ]\rBatch            1 (out of 6) [ / ]"
              "\rBatch            2 (out of 6) [ - ]\rBatch            3 (out of 6) [ \\ ]"
              "\rBatch            4 (out of 6) [ | ]\rBatch            5 (out of 6) [ / ]\nDone.\n");
    EXPECT_EQ(store.dump(),
              "node /a\nnode /a/b\nleaf /a/b/c int32 42\nleaf /a/b/d string x & <y>\\nz\n"
              "leaf /a/ip ipv4 192.0.2.1\nleaf /a/mac mac 00:1b:21:aa:bb:cc\n");
    // Without -t the store stamps each leaf at the write (RoundTrip judges -t).
    for (const string& line : lines_of(store.dump(true))) {
        if (line.rfind("leaf ", 0) != 0) continue;
        EXPECT_GE(stamp_of(line), before - 0.05) << line;
        EXPECT_LE(stamp_of(line), after + 0.05) << line;
    }
}

// The first failing request ends the replay with its message and status;
// without the stop the last batch would go through (a failpoint fails one
// call). A log the reader refuses applies nothing, not even its good batches.
// A filtered batch loses exactly its refused events (two in a row here), and
// the batch's command decides whether attributes are judged.
TEST(Replay, WhatIsAppliedAndWhereItStops) {
    const string add_g = log_batch("0.0", "CMD_ADD_NODE", log_event("/g"));
    const string with_g = "node /f\nleaf /f/l int32 1\nnode /g\n";
    const string filtered =
        log_batch("0.0", "CMD_ADD_NODE", log_event("/a/x") + log_event("/ab") + log_event("/b/y")) +
        log_batch("0.000000001", "CMD_SET_LEAF",
                  log_leaf("/a/x/mtu", "int32", "1500") + log_leaf("/a/x/speed", "int32", "10") +
                      log_leaf("/b/y/mtu", "int32", "9000") + log_leaf("/ab/speed", "int32", "1")) +
        log_batch("0.000000002", "CMD_CLEAR_LEAF", log_event("/a/x/mtu"));
    const string kept =
        "node /ab\nnode /b\nnode /b/y\nleaf /b/y/mtu int32 9000\nnode /f\nleaf /f/l int32 1\nnode /later\n";
    const struct {
        string op, code;  // the failpoint
        int status;
        string batches, message, dump;
        strings args = {};
    } rows[] = {
        {"set_leaves", "7", 7, add_g + log_batch("1.0", "CMD_SET_LEAF", log_leaf("/f/m", "int32", "2")),
         "Error: set_leaf() failed!\n", with_g},
        {"add_nodes", "3", 3,
         log_batch("0.0", "CMD_SET_LEAF", log_leaf("/f/m", "int32", "2")) +
             log_batch("1.0", "CMD_ADD_NODE", log_event("/h")),
         "Error: add_node() failed!\n", "node /f\nleaf /f/l int32 1\nleaf /f/m int32 2\n"},
        {"remove_nodes", "-1", 255, add_g + log_batch("1.0", "CMD_REMOVE_NODE", log_event("/f")),
         "Error: remove_node() failed!\n", with_g},
        {"clear_leaves", "2", 2, add_g + log_batch("1.0", "CMD_CLEAR_LEAF", log_event("/f/l")),
         "Error: clear_leaf() failed!\n", with_g},
        {"", "", 255, add_g + "\t<batch time=\"1.0\"", "XML_ParseBuffer() failed\n",
         "node /f\nleaf /f/l int32 1\n"},
        {"", "", 0, filtered, "", kept, {"-x", "/a/x", "-a", "mtu"}}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.op + testing::PrintToString(r.args));
        private_store store;
        store.ctl_ok({"set", "/f/l", "int32", "1"});
        if (!r.op.empty()) store.ctl_ok({"failpoint", r.op, r.code});
        const result res = replay(
            store, log_document(r.batches + log_batch("2.0", "CMD_ADD_NODE", log_event("/later"))), r.args);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.err, r.message);
        EXPECT_EQ(store.dump(), r.dump);
    }
}

// Huge values and paths cost a few copies of their text, not one per step.
TEST(Replay, HugeValuesAndPathsCostAFewCopiesAtMost) {
    const size_t mb = 1000000;
    const struct {
        size_t path, value;  // bytes of the giant path or value
        int status;          // the store takes requests of up to 64 MiB
    } giants[] = {{mb, 0, 0}, {0, 100 * mb, 1}};
    private_store store;
    temp_dir dir;
    for (const auto& g : giants) {
        SCOPED_TRACE(g.path + g.value);
        // Made and freed before the child starts, which would otherwise
        // count the text held here in its peak.
        const string leaf = "/big/" + string(g.path, 'p');
        write_file(
            dir.file("giant.xml"),
            log_document(log_batch("0.0", "CMD_SET_LEAF",
                                   g.value == 0 ? log_leaf(leaf, "int32", "5")
                                                : log_leaf("/big/v", "string", string(g.value, 'v')))));
        const result o = run({ROREZUREDI_BIN, "-l", dir.file("giant.xml")}, {.env = {store.env()}});
        EXPECT_EQ(o.status, g.status) << o.err.substr(0, 2000);
        EXPECT_EQ(store.dump(), g.status == 0 ? "node /big\nleaf " + leaf + " int32 5\n" : "");
        store.ctl({"remove", "/big"});
        EXPECT_LT(o.max_rss_kib, (long((g.path + g.value) / 1024) * 5 + 32L * 1024) * memory_factor)
            << o.max_rss_kib;
    }
}

// Pacing, seen as the gaps between the store's write stamps of the leaves
// that consecutive batches set. Sleeps never end early, so the floors are
// firm; the ceilings leave room for a loaded machine.
TEST(Replay, Pacing) {
    const struct {
        strings args;
        string times[3];  // of batches 2 to 4; the first is at 0
        double min_ms, max_ms;
    } rows[] = {{{"-d"}, {"0.300000000", "0.600000000", "0.900000000"}, 250, 550},
                {{"-w", "200000"}, {"5.0", "10.0", "15.0"}, 150, 450},
                {{}, {"5.0", "10.0", "15.0"}, 0, 1000}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        string batches = log_batch("0.0", "CMD_SET_LEAF", log_leaf("/p/v0", "int32", "0"));
        for (int i = 1; i <= 3; ++i)
            batches +=
                log_batch(r.times[i - 1], "CMD_SET_LEAF", log_leaf("/p/v" + std::to_string(i), "int32", "0"));
        private_store store;
        EXPECT_EQ(replay(store, log_document(batches), r.args).status, 0);
        const strings lines = lines_of(store.dump(true));  // node /p, then the leaves in batch order
        ASSERT_EQ(lines.size(), 5u);
        for (size_t i = 2; i < lines.size(); ++i) {
            const double gap = (stamp_of(lines[i]) - stamp_of(lines[i - 1])) * 1000.0;
            EXPECT_GE(gap, r.min_ms) << lines[i];
            EXPECT_LE(gap, r.max_ms) << lines[i];
        }
    }
}

}  // namespace
