// slice, merge and retime as properties over generated logs: what they keep,
// the times they write to the nanosecond, what replay makes of their output,
// and the inputs they refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "log_maker.h"

namespace {

using harness::strings;

harness::result tool(strings args) {
    args.insert(args.begin(), ROREZUREDI_LOG_BIN);
    return harness::run(args);
}

void tool_ok(const strings& args) {
    const harness::result r = tool(args);
    ASSERT_EQ(r.status, 0) << r.err;
}

TEST(Reshape, SliceHalvesHoldEveryBatchOnceAndMergeBackIntoTheLog) {
    harness::temp_dir dir;
    const std::string log = dir.file("in.xml"), to = dir.file("to.xml"), from = dir.file("from.xml");
    for (const unsigned seed : {1U, 2U, 3U}) {
        make_log(log, {.seed = seed});
        const log_seen in = read_back(log);
        for (const nanos t :
             {in.batches[0].time, in.batches[17].time, in.batches[17].time + 1, in.batches.back().time + 1}) {
            const auto k = size_t(
                std::count_if(in.batches.begin(), in.batches.end(), [&](auto& b) { return b.time < t; }));
            const std::string secs = logtool::format_seconds(t), iso = logtool::format_iso(in.start + t);
            for (const strings& f :
                 {strings{"--to", secs, "--from", secs}, strings{"--to", iso, "--from", iso},
                  strings{"--batches", ":" + std::to_string(k), "--batches", std::to_string(k) + ":"}}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + " " + f[0] + " " + f[1]);
                tool_ok({"slice", f[0], f[1], log, to});
                tool_ok({"slice", f[2], f[3], log, from});
                std::vector<batch_seen> halves = read_back(to).batches;
                const std::vector<batch_seen> rest = read_back(from).batches;
                EXPECT_EQ(halves.size(), k);
                halves.insert(halves.end(), rest.begin(), rest.end());
                EXPECT_TRUE(halves == in.batches);
                tool_ok({"merge", dir.file("merged.xml"), to, from});
                EXPECT_EQ(harness::read_file(dir.file("merged.xml")), harness::read_file(log));
            }
        }
    }
}

TEST(Reshape, RetimeDividesGapsExactlyCapsThemAndShifts) {
    harness::temp_dir dir;
    const std::string log = dir.file("in.xml"), out = dir.file("out.xml");
    for (const unsigned seed : {4U, 5U, 6U}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        make_log(log, {.seed = seed, .batches = 60});
        for (const strings& args :
             {strings{"retime", log, out}, strings{"retime", "--speed", "1.0", log, out}}) {
            tool_ok(args);
            EXPECT_EQ(harness::read_file(out), harness::read_file(log));
        }
        const std::vector<batch_seen> in = read_back(log).batches;
        const struct {
            strings args;
            long long x, cap, shift;  // the speed in billionths, the cap and the shift in ns
        } rows[] = {
            {{"retime", "--speed", "3", log, out}, 3000000000LL, 0, 0},
            {{"retime", "--speed", "0.25", log, out}, 250000000LL, 0, 0},
            {{"retime", "--speed", "2", "--max-gap", "0.5", "--shift", "7", log, out},
             2000000000LL,
             ns_per_s / 2,
             7 * ns_per_s},
        };
        for (const auto& r : rows) {
            tool_ok(r.args);
            const std::vector<batch_seen> o = read_back(out).batches;
            ASSERT_EQ(o.size(), in.size()) << r.args[2];
            EXPECT_TRUE(o[0].time == in[0].time + r.shift);
            // Each gap (capped) and, uncapped, the whole span within 1 ns of the input's / X.
            const auto near = [x = r.x](nanos got, nanos aim) {
                return got * x - aim <= x && aim - got * x <= x;
            };
            for (size_t i = 1; i < in.size(); ++i) {
                const nanos was = (in[i].time - in[i - 1].time) * ns_per_s;
                EXPECT_TRUE(
                    near(o[i].time - o[i - 1].time, r.cap == 0 ? was : std::min(was, nanos(r.cap) * r.x)))
                    << r.args[2] << " gap " << i;
            }
            EXPECT_TRUE(r.cap != 0 ||
                        near(o.back().time - o[0].time, (in.back().time - in[0].time) * ns_per_s));
        }
    }
}

// What merge and retime --sort write: stable time order, equal times 1 ns apart.
std::vector<batch_seen> in_time_order(std::vector<batch_seen> v) {
    std::stable_sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.time < b.time; });
    for (size_t i = 1; i < v.size(); ++i) v[i].time = std::max(v[i].time, v[i - 1].time + 1);
    return v;
}

TEST(Reshape, SortKeepsFileOrderAmongEqualTimesAndMergeOrdersByAbsoluteTime) {
    harness::temp_dir dir;
    const nanos epoch = nanos(1700000000) * ns_per_s;
    // Starts 0.1 s apart on a 0.1 s grid: ties within each log and across them, broken by file order.
    strings args{"merge", dir.file("merged.xml")};
    std::vector<batch_seen> expect;  // absolute times, by input
    for (int i = 0; i < 3; ++i) {
        const log_shape shape{.seed = 10U + i,
                              .start = epoch + i * ns_per_s / 10,
                              .prefix = "/l" + std::to_string(i),
                              .grid = ns_per_s / 10};
        args.push_back(dir.file("l" + std::to_string(i) + ".xml"));
        make_log(dir.file("u.xml"), shape);
        tool_ok({"retime", "--sort", dir.file("u.xml"), args.back()});
        const std::vector<batch_seen> sorted = read_back(args.back()).batches;
        EXPECT_TRUE(sorted == in_time_order(read_back(dir.file("u.xml")).batches));
        for (const batch_seen& b : sorted)
            expect.push_back({shape.start + b.time - epoch, b.first_path, b.events});
    }
    tool_ok(args);
    const log_seen merged = read_back(args[1]);
    EXPECT_TRUE(merged.start == epoch);
    EXPECT_TRUE(merged.batches == in_time_order(expect));
}

TEST(Reshape, OutputsReplayAsTheSameFilterAppliedByReplay) {
    harness::temp_dir dir;
    const std::string log = dir.file("in.xml"), a = dir.file("a.xml");
    make_log(log, {.seed = 8, .batches = 80});
    const auto replayed = [](const std::string& file, const strings& args = {}) {
        harness::private_store store;
        const harness::result r = harness::replay(store, harness::read_file(file), args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << file;
        return store.dump();
    };
    const std::string whole = replayed(log);
    tool_ok({"slice", "-p", "/t/n2", log, a});
    const std::string part = replayed(a);
    EXPECT_NE(part, whole);
    EXPECT_EQ(part, replayed(log, {"-p", "/t/n2"}));
    for (const strings& args :
         {strings{"retime", "--speed", "4", log, a}, strings{"slice", "--rebase", log, a}}) {
        tool_ok(args);
        EXPECT_EQ(replayed(a), whole) << args[0];
    }
}

// What merge, retime and timeline refuse (1: the log, 2: the command line), and why.
TEST(Reshape, RefusesWhatItCannotDo) {
    harness::temp_dir dir;
    const std::string good = dir.file("good.xml"), out = dir.file("out.xml"), cut = dir.file("cut.xml"),
                      shuffled = dir.file("shuffled.xml"), nostart = dir.file("nostart.xml");
    make_log(good, {});
    harness::write_file(cut, harness::read_file(good).substr(0, 2000));
    make_log(shuffled, {.grid = ns_per_s});
    make_log(nostart, {.with_start = false});
    const struct {
        strings args;
        int status;
        const char* says;
    } rows[] = {
        {{"merge", out, good, shuffled}, 1, "retime --sort"},
        {{"merge", out, nostart, good}, 1, "retime --start"},
        {{"retime", shuffled, out}, 1, "--sort"},
        {{"retime", "--shift", "-1000", good, out}, 1, "before the axis"},
        {{"merge", good, good, shuffled}, 2, "is an input"},
        {{"retime", good, good}, 2, "is an input"},
        {{"retime", "--speed", "0", good, out}, 2, "--speed"},
        {{"retime", "--speed", "-2", good, out}, 2, "--speed"},
        {{"merge", out, good}, 2, "FILE"},
        {{"timeline", cut}, 1, "check' tells more"},
        {{"timeline", "--bin", "0.000001", good}, 2, "wider --bin"},
        {{"timeline", "--bin", "0", good}, 2, "above 0"},
    };
    for (const auto& r : rows) {
        const harness::result res = tool(r.args);
        EXPECT_EQ(res.status, r.status) << r.args[0] << " " << res.err;
        EXPECT_NE(res.err.find(r.says), std::string::npos) << res.err;
        EXPECT_FALSE(harness::file_exists(out)) << r.args[0];
    }
}

}  // namespace
