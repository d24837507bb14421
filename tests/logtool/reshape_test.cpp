// slice, merge and retime as properties over generated logs: what they keep,
// the times they write to the nanosecond, what replay makes of their output,
// and the inputs they refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "log_format.h"
#include "log_io.h"

namespace {

using harness::strings;
using logtool::nanos;
using logtool::ns_per_s;

struct log_shape {
    unsigned seed = 1;
    int batches = 40;
    nanos start = nanos(1700000000) * ns_per_s + 5000123;
    std::string prefix = "/t";
    nanos grid = 0;  // set: times are random multiples of it in any order (ties, disorder)
    bool with_start = true;
};

// A log written through the log-format module: several actions, typed
// values with text that needs escaping, gaps from 1 us to 2 s, now and then a minute.
std::string make_log(const log_shape& s) {
    std::mt19937 rng(s.seed);
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    write_log_head(f);
    if (s.with_start) write_start(f, timespec{long(s.start / ns_per_s), long(s.start % ns_per_s)});
    nanos t = nanos(rng() % 3) * ns_per_s;
    const api_cmd_t cmds[] = {CMD_SET_LEAF, CMD_SET_LEAF,   CMD_SET_LEAF,
                              CMD_ADD_NODE, CMD_CLEAR_LEAF, CMD_REMOVE_NODE};
    toolkit::CElement v;
    v.timestamp() = timeval{1700000000, long(rng() % 1000000)};
    for (int b = 0; b < s.batches; ++b) {
        if (s.grid != 0)
            t = s.grid * nanos(rng() % 12);
        else if (b > 0)
            t += rng() % 8 == 0 ? nanos(60) * ns_per_s + rng() : 1000 + nanos(rng() % 2000000000);
        const api_cmd_t cmd = cmds[rng() % 6];
        write_batch_open(f, timespec{long(t / ns_per_s), long(t % ns_per_s)}, action_name(cmd));
        const int node = int(rng() % 6);
        for (int e = 0, n = 1 + int(rng() % 4); e < n; ++e) {
            std::string path = s.prefix + "/n" + std::to_string(node);
            if (cmd == CMD_SET_LEAF || cmd == CMD_CLEAR_LEAF) path += "/leaf" + std::to_string(e);
            switch (rng() % 3) {
                case 0: v.set_uint32(rng()); break;
                case 1: v.set_bool(rng() % 2 == 0); break;
                default: v.set_string("b" + std::to_string(b) + " <&> \"q\""); break;
            }
            write_event(f, cmd, path, v);
            if (cmd == CMD_ADD_NODE || cmd == CMD_REMOVE_NODE) break;
        }
        write_batch_close(f);
    }
    write_log_tail(f);
    std::fclose(f);
    std::string out(text, size);
    std::free(text);  // NOLINT(cppcoreguidelines-no-malloc): open_memstream's buffer
    return out;
}

struct batch_seen {
    nanos time;
    std::string first_path;
    bool operator==(const batch_seen&) const = default;
};
struct log_seen {
    nanos start = -1;
    std::vector<batch_seen> batches;
};

// The batches as rorezuredi's reader keeps them.
log_seen read_back(const std::string& path) {
    logtool::input_log in;
    log_seen seen;
    if (!logtool::open_input(path, in)) return seen;
    const logtool::read_result r = logtool::read_log(in, [&](event_batch_t& b) {
        if (!b.events.empty()) seen.batches.push_back({logtool::to_nanos(b.time), b.events[0].path});
    });
    EXPECT_TRUE(r.ok) << path;
    if (r.report.start_seen) seen.start = logtool::to_nanos(r.start);
    return seen;
}

harness::result tool(const strings& args) {
    strings argv{ROREZUREDI_LOG_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return harness::run(argv);
}

void tool_ok(const strings& args) {
    const harness::result r = tool(args);
    ASSERT_EQ(r.status, 0) << r.err;
}

std::vector<nanos> gaps(const log_seen& l) {
    std::vector<nanos> g;
    for (size_t i = 1; i < l.batches.size(); ++i) g.push_back(l.batches[i].time - l.batches[i - 1].time);
    return g;
}

// What merge and retime --sort write: stable time order, equal times 1 ns apart.
std::vector<batch_seen> in_time_order(std::vector<batch_seen> v) {
    std::stable_sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.time < b.time; });
    for (size_t i = 1; i < v.size(); ++i) v[i].time = std::max(v[i].time, v[i - 1].time + 1);
    return v;
}

TEST(Reshape, SliceHalvesHoldEveryBatchOnceAndMergeBackIntoTheLog) {
    harness::temp_dir dir;
    for (const unsigned seed : {1U, 2U, 3U}) {
        const std::string log = dir.file("in.xml"), to = dir.file("to.xml"), from = dir.file("from.xml");
        harness::write_file(log, make_log({.seed = seed}));
        const log_seen in = read_back(log);
        for (const nanos t :
             {in.batches[0].time, in.batches[17].time, in.batches[17].time + 1, in.batches.back().time + 1}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " T " + logtool::format_seconds(t));
            tool_ok({"slice", "--to", logtool::format_seconds(t), log, to});
            tool_ok({"slice", "--from", logtool::format_seconds(t), log, from});
            log_seen halves = read_back(to);
            const log_seen rest = read_back(from);
            for (const batch_seen& b : halves.batches) EXPECT_TRUE(b.time < t);
            halves.batches.insert(halves.batches.end(), rest.batches.begin(), rest.batches.end());
            EXPECT_TRUE(halves.batches == in.batches);
            tool_ok({"merge", dir.file("merged.xml"), to, from});
            EXPECT_EQ(harness::read_file(dir.file("merged.xml")), harness::read_file(log));
        }
    }
}

TEST(Reshape, RetimeDividesGapsExactlyCapsThemAndShifts) {
    harness::temp_dir dir;
    const std::string log = dir.file("in.xml"), out = dir.file("out.xml");
    for (const unsigned seed : {4U, 5U, 6U}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        harness::write_file(log, make_log({.seed = seed, .batches = 60}));
        for (strings args : {strings{"retime"}, strings{"retime", "--speed", "1"}}) {
            args.insert(args.end(), {log, out});
            tool_ok(args);
            EXPECT_EQ(harness::read_file(out), harness::read_file(log));
        }
        const log_seen in = read_back(log);
        const std::vector<nanos> g = gaps(in);
        // X in billionths; each gap and the span within 1 ns of theirs / X.
        for (const auto& [text, x] :
             {std::pair{"2", 2000000000LL}, {"3", 3000000000LL}, {"0.25", 250000000LL}}) {
            tool_ok({"retime", "--speed", text, log, out});
            const log_seen o = read_back(out);
            const std::vector<nanos> g2 = gaps(o);
            ASSERT_EQ(g2.size(), g.size());
            EXPECT_TRUE(o.batches[0].time == in.batches[0].time);
            const auto near = [x = x](nanos got, nanos was) {
                const nanos d = got * x - was * ns_per_s;
                return d <= x && d >= -x;
            };
            for (size_t i = 0; i < g.size(); ++i) EXPECT_TRUE(near(g2[i], g[i])) << text << " gap " << i;
            EXPECT_TRUE(
                near(o.batches.back().time - o.batches[0].time, in.batches.back().time - in.batches[0].time));
        }
        tool_ok({"retime", "--speed", "2", "--max-gap", "0.5", "--shift", "7", log, out});
        const log_seen capped = read_back(out);
        const std::vector<nanos> gc = gaps(capped);
        EXPECT_TRUE(capped.batches[0].time == in.batches[0].time + nanos(7) * ns_per_s);
        for (size_t i = 0; i < g.size(); ++i) {
            const nanos want = std::min(g[i] / 2, nanos(ns_per_s / 2));
            EXPECT_TRUE(gc[i] >= want - 1 && gc[i] <= want + 1) << i;
        }
    }
}

TEST(Reshape, SortKeepsFileOrderAmongEqualTimesAndMergeOrdersByAbsoluteTime) {
    harness::temp_dir dir;
    const std::string shuffled = dir.file("shuffled.xml"), sorted = dir.file("sorted.xml");
    harness::write_file(shuffled, make_log({.seed = 7, .grid = ns_per_s / 4}));
    tool_ok({"retime", "--sort", shuffled, sorted});
    std::vector<batch_seen> want = read_back(shuffled).batches;
    EXPECT_TRUE(read_back(sorted).batches == in_time_order(want));

    // Starts 0.1 s apart on a 0.1 s grid: ties across inputs, broken by input order.
    strings args{"merge", dir.file("merged.xml")};
    std::vector<batch_seen> expect;  // absolute times, by input
    for (int i = 0; i < 3; ++i) {
        const log_shape shape{.seed = 10U + i,
                              .start = nanos(1700000000) * ns_per_s + i * ns_per_s / 10,
                              .prefix = "/l" + std::to_string(i),
                              .grid = ns_per_s / 10};
        args.push_back(dir.file("l" + std::to_string(i) + ".xml"));
        harness::write_file(dir.file("u.xml"), make_log(shape));
        tool_ok({"retime", "--sort", dir.file("u.xml"), args.back()});
        for (const batch_seen& b : read_back(args.back()).batches)
            expect.push_back({shape.start + b.time - nanos(1700000000) * ns_per_s, b.first_path});
    }
    tool_ok(args);
    const log_seen merged = read_back(args[1]);
    EXPECT_TRUE(merged.start == nanos(1700000000) * ns_per_s);
    EXPECT_TRUE(merged.batches == in_time_order(expect));
}

TEST(Reshape, OutputsReplayAsTheSameFilterAppliedByReplay) {
    harness::temp_dir dir;
    const std::string log = dir.file("in.xml"), a = dir.file("a.xml"), b = dir.file("b.xml");
    harness::write_file(log, make_log({.seed = 8, .batches = 80}));
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
    tool_ok({"retime", "--speed", "4", log, a});
    EXPECT_EQ(replayed(a), whole);
    tool_ok({"slice", "--rebase", log, a});
    EXPECT_EQ(replayed(a), whole);
    tool_ok({"slice", "--to", "30", log, a});
    tool_ok({"slice", "--from", "30", log, b});
    tool_ok({"merge", dir.file("m.xml"), b, a});
    EXPECT_EQ(replayed(dir.file("m.xml")), whole);
}

TEST(Reshape, RetimeIsTheIdentityOnACapture) {
    harness::private_store store;
    harness::capture cap(store);
    ASSERT_TRUE(cap.ready()) << cap.proc().err();
    store.ctl_ok({"add", "/a/b"});
    store.ctl_ok({"set", "/a/b/c", "int32", "42", "/a/b/x&y", "string", "x<y & \"z\"\tend"});
    store.ctl_ok({"clear", "/a/b/c"});
    store.ctl_ok({"remove", "/a"});
    ASSERT_EQ(cap.stop(SIGINT), 0) << cap.proc().err();
    const std::string out = cap.cwd.file("out.xml");
    for (const char* speed : {"1", "1.0"}) {
        tool_ok({"retime", "--speed", speed, cap.log_path(), out});
        EXPECT_EQ(harness::read_file(out), cap.log());
    }
}

TEST(Reshape, RefusesWhatCannotBeMergedOrRetimed) {
    harness::temp_dir dir;
    const std::string good = dir.file("good.xml"), out = dir.file("out.xml");
    harness::write_file(good, make_log({}));
    harness::write_file(dir.file("shuffled.xml"), make_log({.grid = ns_per_s}));
    harness::write_file(dir.file("nostart.xml"), make_log({.with_start = false}));
    const struct {
        strings args;
        int status;
        const char* says;
    } rows[] = {
        {{"merge", out, good, dir.file("shuffled.xml")}, 1, "retime --sort"},
        {{"merge", out, dir.file("nostart.xml"), good}, 1, "retime --start"},
        {{"retime", dir.file("shuffled.xml"), out}, 1, "--sort"},
        {{"retime", "--shift", "-1000", good, out}, 1, "before the axis"},
        {{"merge", good, good, dir.file("shuffled.xml")}, 2, "is an input"},
        {{"retime", good, good}, 2, "is an input"},
        {{"retime", "--speed", "0", good, out}, 2, "--speed"},
        {{"retime", "--speed", "-2", good, out}, 2, "--speed"},
        {{"merge", out, good}, 2, "FILE"},
    };
    for (const auto& r : rows) {
        const harness::result res = tool(r.args);
        EXPECT_EQ(res.status, r.status) << r.args[0] << " " << res.err;
        EXPECT_NE(res.err.find(r.says), std::string::npos) << res.err;
        EXPECT_FALSE(harness::file_exists(out)) << r.args[0];
    }
}

}  // namespace
