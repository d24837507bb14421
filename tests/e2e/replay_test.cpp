// Replay end to end: rorezuredi -l against a private store, checked through
// the store's dump and through the traffic a watcher sees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

std::string event(const std::string& path, const std::string& time = "") {
    std::string s = "\t\t<event path=\"" + path + "\"";
    if (!time.empty()) s += " time=\"" + time + "\"";
    return s + " />\n";
}

std::string leaf(const std::string& path, const std::string& type, const std::string& text,
                 const std::string& time = "") {
    std::string s = "\t\t<event path=\"" + path + "\"";
    if (!time.empty()) s += " time=\"" + time + "\"";
    return s + " type=\"" + type + "\">" + text + "</event>\n";
}

std::string batch(const std::string& time, const std::string& action, const std::string& events) {
    return "\t<batch time=\"" + time + "\" action=\"" + action + "\">\n" + events + "\t</batch>\n";
}

std::string document(const std::string& batches) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<dump>\n\t<start time=\"1700000000.5000123\"/>\n" + batches +
           "</dump>\n";
}

harness::result replay(const harness::private_store& store, const std::string& log,
                       const std::vector<std::string>& args = {}) {
    harness::temp_dir dir;
    const std::string path = dir.file("events.xml");
    harness::write_file(path, log);
    std::vector<std::string> argv{ROREZUREDI_BIN, "-l", path};
    argv.insert(argv.end(), args.begin(), args.end());
    return harness::run(argv, {.env = {store.env()}});
}

// "@SEC.USEC" at the end of a line, as seconds.
double stamp_of(const std::string& line) {
    size_t at = line.rfind(" @");
    if (at == std::string::npos) return -1;
    return std::strtod(line.c_str() + at + 2, nullptr);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

const std::string mixed_log = document(
    batch("0.000000000", "CMD_ADD_NODE", event("/a/b", "1700000000.004870") + event("/q")) +
    batch("1.250000000", "CMD_SET_LEAF",
          leaf("/a/b/c", "int32", "42", "1700000001.254998") + leaf("/a/b/d", "string", "x &amp; &lt;y&gt;&#10;z", "1700000001.254999") +
              leaf("/a/ip", "ipv4", "192.0.2.1", "1700000001.000001") + leaf("/a/gone", "bool", "true", "1700000001.000002")) +
    batch("2.0", "CMD_CLEAR_LEAF", event("/a/gone", "1700000002.000000")) +
    batch("3.000020500", "CMD_REMOVE_NODE", event("/q", "1700000003.000811")) +
    batch("4.0", "CMD_ADD_NODE", event("/z")));

const std::string mixed_dump =
    "node /a\n"
    "node /a/b\n"
    "leaf /a/b/c int32 42\n"
    "leaf /a/b/d string x & <y>\\nz\n"
    "leaf /a/ip ipv4 192.0.2.1\n"
    "node /z\n";

TEST(Replay, AppliesEveryCommandAndReportsProgress) {
    harness::private_store store;
    const long before = std::time(nullptr);
    harness::result r = replay(store, mixed_log);
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
    EXPECT_EQ(store.dump(), mixed_dump);

    // Without -t the store stamps the leaves at the time of writing.
    const long after = std::time(nullptr);
    int leaves = 0;
    for (const std::string& line : lines_of(store.dump(true))) {
        if (line.rfind("leaf ", 0) != 0) continue;
        ++leaves;
        double t = stamp_of(line);
        EXPECT_GE(t, before - 1.0) << line;
        EXPECT_LE(t, after + 1.0) << line;
    }
    EXPECT_EQ(leaves, 3);
}

TEST(Replay, PreservedTimestampsAreTheLogsTimes) {
    harness::private_store store;
    const std::string log = document(batch(
        "0.0", "CMD_SET_LEAF",
        leaf("/t/one", "uint64", "18446744073709551615", "1700000001.254998") + leaf("/t/two", "double", "0.5", "1600000000.000007") +
            leaf("/t/untimed", "mac", "00:1b:21:aa:bb:cc")));
    const long before = std::time(nullptr);
    harness::result r = replay(store, log, {"-t"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(store.dump(true));
    ASSERT_EQ(lines.size(), 4u) << store.dump(true);
    EXPECT_EQ(lines[0], "node /t");
    EXPECT_EQ(lines[1], "leaf /t/one uint64 18446744073709551615 @1700000001.254998");
    EXPECT_EQ(lines[2], "leaf /t/two double 0.5 @1600000000.000007");
    // A value logged without a time is stamped by the store.
    EXPECT_EQ(lines[3].rfind("leaf /t/untimed mac 00:1b:21:aa:bb:cc @", 0), 0u) << lines[3];
    EXPECT_GE(stamp_of(lines[3]), before - 1.0);
}

TEST(Replay, BatchesAreAppliedInTimeOrder) {
    harness::private_store store;
    harness::process watch({VELTCTL_BIN, "watch"}, {.env = {store.env()}});
    ASSERT_TRUE(harness::wait_until([&] { return store.status_value("subscribers") == 1; }));

    // File order is not time order; nanoseconds decide between the last two.
    const std::string log = document(batch("0.000000002", "CMD_SET_LEAF", leaf("/o/v", "int32", "3")) +
                                     batch("0.000000000", "CMD_ADD_NODE", event("/o")) +
                                     batch("0.000000001", "CMD_SET_LEAF", leaf("/o/v", "int32", "2")) +
                                     batch("0.100000000", "CMD_REMOVE_NODE", event("/o")) +
                                     batch("0.099999999", "CMD_SET_LEAF", leaf("/o/w", "int32", "9")));
    harness::result r = replay(store, log);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(store.dump(), "");

    ASSERT_TRUE(harness::wait_until([&] { return watch.out().find("batch 5") != std::string::npos; })) << watch.out();
    std::vector<std::string> seen;
    for (const std::string& line : lines_of(watch.out()))
        if (line.rfind("  ", 0) == 0) seen.push_back(line.substr(0, line.rfind(" @")));
    const std::vector<std::string> expected = {
        "  CMD_ADD_NODE /o",     "  CMD_SET_LEAF /o/v int32 2", "  CMD_SET_LEAF /o/v int32 3",
        "  CMD_SET_LEAF /o/w int32 9", "  CMD_REMOVE_NODE /o",
    };
    EXPECT_EQ(seen, expected);
}

TEST(Replay, FiltersDecideWhatIsApplied) {
    const std::string log = document(
        batch("0.0", "CMD_ADD_NODE", event("/a/x") + event("/ab") + event("/b/y")) +
        batch("0.000000001", "CMD_SET_LEAF",
              leaf("/a/x/mtu", "int32", "1500") + leaf("/a/x/speed", "int32", "10") + leaf("/b/y/mtu", "int32", "9000") +
                  leaf("/ab/speed", "int32", "1")) +
        batch("0.000000002", "CMD_CLEAR_LEAF", event("/a/x/mtu")));
    struct row {
        std::vector<std::string> args;
        std::string dump;
    };
    const std::vector<row> rows = {
        {{},
         "node /a\nnode /a/x\nleaf /a/x/speed int32 10\nnode /ab\nleaf /ab/speed int32 1\nnode /b\nnode /b/y\n"
         "leaf /b/y/mtu int32 9000\n"},
        {{"-p", "/a"}, "node /a\nnode /a/x\nleaf /a/x/speed int32 10\nnode /ab\nleaf /ab/speed int32 1\n"},
        {{"-p", "/b", "-p", "/ab"}, "node /ab\nleaf /ab/speed int32 1\nnode /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"},
        {{"-x", "/a"}, "node /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"},
        // The first two leaves of the set batch are refused in a row; the rest keep their order.
        {{"-x", "/a/x"}, "node /ab\nleaf /ab/speed int32 1\nnode /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"},
        {{"-a", "mtu"}, "node /a\nnode /a/x\nnode /ab\nnode /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"},
        {{"-i", "mtu"}, "node /a\nnode /a/x\nleaf /a/x/speed int32 10\nnode /ab\nleaf /ab/speed int32 1\nnode /b\nnode /b/y\n"},
        {{"-a", "MTU"}, "node /a\nnode /a/x\nnode /ab\nnode /b\nnode /b/y\n"},
        {{"-p", "/b", "-i", "speed"}, "node /b\nnode /b/y\nleaf /b/y/mtu int32 9000\n"},
    };
    for (const row& r : rows) {
        std::string args;
        for (const auto& a : r.args) args += a + " ";
        harness::private_store store;
        harness::result res = replay(store, log, r.args);
        EXPECT_EQ(res.status, 0) << args << res.err;
        EXPECT_EQ(res.err, "") << args;
        EXPECT_EQ(store.dump(), r.dump) << args;
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
    const std::string add_g = batch("0.0", "CMD_ADD_NODE", event("/g"));
    const std::string with_g = "node /f\nleaf /f/l int32 1\nnode /g\n";
    const std::vector<row> rows = {
        {"set_leaves", "7", 7, add_g, batch("1.0", "CMD_SET_LEAF", leaf("/f/m", "int32", "2")),
         "Error: set_leaf() failed!\n", with_g},
        {"add_nodes", "3", 3, batch("0.0", "CMD_SET_LEAF", leaf("/f/m", "int32", "2")), batch("1.0", "CMD_ADD_NODE", event("/h")),
         "Error: add_node() failed!\n", "node /f\nleaf /f/l int32 1\nleaf /f/m int32 2\n"},
        {"remove_nodes", "-1", 255, add_g, batch("1.0", "CMD_REMOVE_NODE", event("/f")), "Error: remove_node() failed!\n", with_g},
        {"clear_leaves", "2", 2, add_g, batch("1.0", "CMD_CLEAR_LEAF", event("/f/l")), "Error: clear_leaf() failed!\n", with_g},
    };
    for (const row& r : rows) {
        harness::private_store store;
        store.ctl_ok({"set", "/f/l", "int32", "1"});
        store.ctl_ok({"failpoint", r.op, r.code});
        // Without the stop, the last batch would go through: the failpoint fails one call only.
        const std::string log = document(r.first + r.failing + batch("2.0", "CMD_ADD_NODE", event("/later")));
        harness::result res = replay(store, log);
        EXPECT_EQ(res.status, r.status) << r.op;
        EXPECT_EQ(res.err, r.message) << r.op;
        EXPECT_EQ(res.out,
                  "Parsing XML...\nSorting list of 3 event batches...\nReplaying events:\n"
                  "\rBatch            0 (out of 3) [ | ]\rBatch            1 (out of 3) [ / ]")
            << r.op;
        EXPECT_EQ(store.dump(), r.dump) << r.op;
    }
}

TEST(Replay, RefusedLogAppliesNothing) {
    harness::private_store store;
    const std::string log = document(batch("0.0", "CMD_ADD_NODE", event("/kept")) +
                                     "\t<batch time=\"1.0\" action=\"cmd_add_node\">\n" + event("/x") + "\t</batch>\n");
    harness::result r = replay(store, log);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error: bad/missing batch actionXML_ParseBuffer() failed\n");
    EXPECT_EQ(r.out, "Parsing XML...\n");
    EXPECT_EQ(store.dump(), "");
}

// Pacing, seen as the gaps between the store's write stamps of consecutive
// batches in a watcher's output. Sleeps never end early, so the floors are
// firm; the ceilings leave room for a loaded machine.
TEST(Replay, Pacing) {
    struct row {
        std::vector<std::string> args;
        const char* times[3];  // of batches 2 to 4; the first is at 0
        double min_ms, max_ms;
    };
    const row rows[] = {
        {{"-d"}, {"0.300000000", "0.600000000", "0.900000000"}, 250, 550},
        {{"-w", "200000"}, {"5.0", "10.0", "15.0"}, 150, 450},
        {{}, {"5.0", "10.0", "15.0"}, 0, 1000},
    };
    for (const row& r : rows) {
        const std::string log = document(batch("0.0", "CMD_SET_LEAF", leaf("/p/v", "int32", "0")) +
                                         batch(r.times[0], "CMD_SET_LEAF", leaf("/p/v", "int32", "1")) +
                                         batch(r.times[1], "CMD_SET_LEAF", leaf("/p/v", "int32", "2")) +
                                         batch(r.times[2], "CMD_SET_LEAF", leaf("/p/v", "int32", "3")));
        const std::string name = r.args.empty() ? "no option" : r.args[0];
        harness::private_store store;
        harness::process watch({VELTCTL_BIN, "watch"}, {.env = {store.env()}});
        ASSERT_TRUE(harness::wait_until([&] { return store.status_value("subscribers") == 1; }));
        harness::result res = replay(store, log, r.args);
        EXPECT_EQ(res.status, 0) << name << res.err;
        ASSERT_TRUE(harness::wait_until([&] { return watch.out().find("batch 4") != std::string::npos; })) << watch.out();
        std::vector<double> stamps;
        for (const std::string& line : lines_of(watch.out()))
            if (line.rfind("  CMD_SET_LEAF", 0) == 0) stamps.push_back(stamp_of(line));
        ASSERT_EQ(stamps.size(), 4u) << watch.out();
        for (size_t i = 1; i < stamps.size(); ++i) {
            const double gap = (stamps[i] - stamps[i - 1]) * 1000.0;
            EXPECT_GE(gap, r.min_ms) << name << " batch " << i;
            EXPECT_LE(gap, r.max_ms) << name << " batch " << i;
        }
    }
}

}  // namespace
