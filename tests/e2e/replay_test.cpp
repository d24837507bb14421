// Replay end to end: rorezuredi -l against a private store, checked through
// the store's dump and through the traffic a watcher sees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;

// The wall clock, as seconds.
double wall_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// "@SEC.USEC" at the end of a line, as seconds.
double stamp_of(const std::string& line) {
    size_t at = line.rfind(" @");
    if (at == std::string::npos) return -1;
    return std::strtod(line.c_str() + at + 2, nullptr);
}

// Replays `log` while `veltctl watch` records the store's traffic; returns
// the watcher's event lines once `batches` batches have arrived.
strings replay_watched(const private_store& store, const std::string& log, const strings& args, int batches) {
    process watch({VELTCTL_BIN, "watch"}, {.env = {store.env()}});
    EXPECT_TRUE(wait_until([&] { return store.status_value("subscribers") == 1; }));
    const result r = replay(store, log, args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string last = "batch " + std::to_string(batches) + "\n";
    EXPECT_TRUE(wait_until([&] { return watch.out().find(last) != std::string::npos; })) << watch.out();
    strings events;
    for (const std::string& line : lines_of(watch.out()))
        if (line.rfind("  ", 0) == 0) events.push_back(line);
    return events;
}

TEST(Replay, AppliesEveryCommandAndReportsProgress) {
    const std::string log = log_document(
        log_batch("0.000000000", "CMD_ADD_NODE", log_event("/a/b", "1700000000.004870") + log_event("/q")) +
        log_batch("1.250000000", "CMD_SET_LEAF",
                  log_leaf("/a/b/c", "int32", "42", "1700000001.254998") +
                      log_leaf("/a/b/d", "string", "x &amp; &lt;y&gt;&#10;z", "1700000001.254999") +
                      log_leaf("/a/ip", "ipv4", "192.0.2.1", "1700000001.000001") +
                      log_leaf("/a/mac", "mac", "00:1b:21:aa:bb:cc") +
                      log_leaf("/a/gone", "bool", "true", "1700000001.000002")) +
        log_batch("2.0", "CMD_CLEAR_LEAF", log_event("/a/gone", "1700000002.000000")) +
        log_batch("3.000020500", "CMD_REMOVE_NODE", log_event("/q", "1700000003.000811")) +
        log_batch("4.0", "CMD_ADD_NODE", log_event("/z")));
    // Without -t the store stamps each leaf at the write (RoundTrip judges -t).
    private_store store;
    // The precise clock: time() reads a coarse one that can lag the store's
    // stamps by a few milliseconds.
    const double before = wall_now();
    const result r = replay(store, log);
    const double after = wall_now();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Parsing XML...\n"
              "Sorting list of 5 event batches...\n"
              "Replaying events:\n"
              "\rBatch            0 (out of 5) [ | ]"
              "\rBatch            1 (out of 5) [ / ]"
              "\rBatch            2 (out of 5) [ - ]"
              "\rBatch            3 (out of 5) [ \\ ]"
              "\rBatch            4 (out of 5) [ | ]"
              "\nDone.\n");
    EXPECT_EQ(store.dump(),
              "node /a\nnode /a/b\nleaf /a/b/c int32 42\nleaf /a/b/d string x & <y>\\nz\n"
              "leaf /a/ip ipv4 192.0.2.1\nleaf /a/mac mac 00:1b:21:aa:bb:cc\nnode /z\n");
    for (const std::string& line : lines_of(store.dump(true))) {
        if (line.rfind("leaf ", 0) != 0) continue;
        EXPECT_GE(stamp_of(line), before - 0.05) << line;
        EXPECT_LE(stamp_of(line), after + 0.05) << line;
    }
}

TEST(Replay, BatchesAreAppliedInTimeOrder) {
    private_store store;
    // File order is not time order; seconds decide before nanoseconds.
    const std::string log =
        log_document(log_batch("0.000000002", "CMD_SET_LEAF", log_leaf("/o/v", "int32", "3")) +
                     log_batch("0.000000000", "CMD_ADD_NODE", log_event("/o")) +
                     log_batch("0.000000001", "CMD_SET_LEAF", log_leaf("/o/v", "int32", "2")) +
                     log_batch("1.000000000", "CMD_REMOVE_NODE", log_event("/o")) +
                     log_batch("0.999999999", "CMD_SET_LEAF", log_leaf("/o/w", "int32", "9")));
    strings seen = replay_watched(store, log, {}, 5);
    for (std::string& line : seen) line = line.substr(0, line.rfind(" @"));
    EXPECT_EQ(seen,
              (strings{"  CMD_ADD_NODE /o", "  CMD_SET_LEAF /o/v int32 2", "  CMD_SET_LEAF /o/v int32 3",
                       "  CMD_SET_LEAF /o/w int32 9", "  CMD_REMOVE_NODE /o"}));
    EXPECT_EQ(store.dump(), "");
}

TEST(Replay, FiltersDecideWhatIsApplied) {
    const std::string log = log_document(
        log_batch("0.0", "CMD_ADD_NODE", log_event("/a/x") + log_event("/ab") + log_event("/b/y")) +
        log_batch("0.000000001", "CMD_SET_LEAF",
                  log_leaf("/a/x/mtu", "int32", "1500") + log_leaf("/a/x/speed", "int32", "10") +
                      log_leaf("/b/y/mtu", "int32", "9000") + log_leaf("/ab/speed", "int32", "1")) +
        log_batch("0.000000002", "CMD_CLEAR_LEAF", log_event("/a/x/mtu")));
    struct row {
        strings args;
        std::string dump;
    };
    // The filter itself is judged in filter_test; here, that a batch loses
    // exactly its refused events (two in a row with -x) and that the batch's
    // command decides whether attributes are judged (-a).
    const std::vector<row> rows = {
        {{},
         "node /a\nnode /a/x\nleaf /a/x/speed int32 10\nnode /ab\nleaf /ab/speed int32 1\n"
         "node /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"},
        {{"-x", "/a/x"}, "node /ab\nleaf /ab/speed int32 1\nnode /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"},
        {{"-a", "mtu"}, "node /a\nnode /a/x\nnode /ab\nnode /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"}};
    for (const row& r : rows) {
        std::string args;
        for (const auto& a : r.args) args += a + " ";
        SCOPED_TRACE(args);
        private_store store;
        const result res = replay(store, log, r.args);
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(store.dump(), r.dump);
    }
}

TEST(Replay, FirstFailingRequestEndsTheReplay) {
    struct row {
        const char* op;
        const char* code;
        int status;
        std::string first;    // applied
        std::string failing;  // refused by the failpoint
        const char* message;
        std::string dump;  // the store afterwards
    };
    const std::string add_g = log_batch("0.0", "CMD_ADD_NODE", log_event("/g"));
    const std::string with_g = "node /f\nleaf /f/l int32 1\nnode /g\n";
    const std::vector<row> rows = {
        {"set_leaves", "7", 7, add_g, log_batch("1.0", "CMD_SET_LEAF", log_leaf("/f/m", "int32", "2")),
         "Error: set_leaf() failed!\n", with_g},
        {"add_nodes", "3", 3, log_batch("0.0", "CMD_SET_LEAF", log_leaf("/f/m", "int32", "2")),
         log_batch("1.0", "CMD_ADD_NODE", log_event("/h")), "Error: add_node() failed!\n",
         "node /f\nleaf /f/l int32 1\nleaf /f/m int32 2\n"},
        {"remove_nodes", "-1", 255, add_g, log_batch("1.0", "CMD_REMOVE_NODE", log_event("/f")),
         "Error: remove_node() failed!\n", with_g},
        {"clear_leaves", "2", 2, add_g, log_batch("1.0", "CMD_CLEAR_LEAF", log_event("/f/l")),
         "Error: clear_leaf() failed!\n", with_g}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.op);
        private_store store;
        store.ctl_ok({"set", "/f/l", "int32", "1"});
        store.ctl_ok({"failpoint", r.op, r.code});
        // Without the stop, the last batch would go through: the failpoint fails one call only.
        const std::string log =
            log_document(r.first + r.failing + log_batch("2.0", "CMD_ADD_NODE", log_event("/later")));
        result res = replay(store, log);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.err, r.message);
        EXPECT_EQ(store.dump(), r.dump);
    }
}

// Pacing, seen as the gaps between the store's write stamps of consecutive
// batches in a watcher's output. Sleeps never end early, so the floors are
// firm; the ceilings leave room for a loaded machine.
TEST(Replay, Pacing) {
    struct row {
        strings args;
        const char* times[3];  // of batches 2 to 4; the first is at 0
        double min_ms, max_ms;
    };
    const row rows[] = {{{"-d"}, {"0.300000000", "0.600000000", "0.900000000"}, 250, 550},
                        {{"-w", "200000"}, {"5.0", "10.0", "15.0"}, 150, 450},
                        {{}, {"5.0", "10.0", "15.0"}, 0, 1000}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.args.empty() ? "no option" : r.args[0]);
        std::string batches = log_batch("0.0", "CMD_SET_LEAF", log_leaf("/p/v", "int32", "0"));
        for (int i = 0; i < 3; ++i)
            batches +=
                log_batch(r.times[i], "CMD_SET_LEAF", log_leaf("/p/v", "int32", std::to_string(i + 1)));
        private_store store;
        strings seen;  // the leaf events; the first batch also adds /p
        for (const std::string& line : replay_watched(store, log_document(batches), r.args, 4))
            if (line.rfind("  CMD_SET_LEAF", 0) == 0) seen.push_back(line);
        ASSERT_EQ(seen.size(), 4u);
        for (size_t i = 1; i < seen.size(); ++i) {
            const double gap = (stamp_of(seen[i]) - stamp_of(seen[i - 1])) * 1000.0;
            EXPECT_GE(gap, r.min_ms) << "batch " << i;
            EXPECT_LE(gap, r.max_ms) << "batch " << i;
        }
    }
}

}  // namespace
