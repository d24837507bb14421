// repair, slice, merge, retime and timeline over logs written as capture writes them: what they keep,
// the times they write to the nanosecond, what replay makes of their output, and what they refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "in_process.h"
#include "log_format.h"
#include "sample_logs.h"

namespace {

using namespace harness;
using namespace samples;
using logtool::nanos;
using logtool::ns_per_s;
using std::string;

// repair keeps a log cut at any byte up to its last complete batch and closes the root; check calls
// every cut inside the root cut short and counts the same complete batches.
TEST(Repair, EveryCutKeepsTheOriginalUpToItsLastCompleteBatch) {
    temp_dir dir;
    const string in = dir.file("in.xml"), out = dir.file("out.xml");
    make_log(in, {.seed = 2, .batches = 5, .empty_batches = true});
    const string log = read_file(in);
    std::vector<size_t> ends;  // just past the root's opening tag, the start and each batch
    for (size_t at = 0, nl = 0; (nl = log.find('\n', at)) != string::npos; at = nl + 1)
        if (log.compare(at, 2, "<d") == 0 || log.compare(at, 3, "\t<s") == 0 ||
            log.compare(at, 3, "\t</") == 0)
            ends.push_back(nl + 1);
    ASSERT_LT(read_back(in).size(), ends.size() - 2);  // one batch is empty
    for (size_t cut = 0; cut <= log.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        // Fresh files each time: replacing one makes the file system write it out.
        unlink(in.c_str());
        unlink(out.c_str());
        write_file(in, log.substr(0, cut));
        // The last element read whole (its closing '>'; the root's opening tag is written anyway).
        size_t i = 0;
        while (i + 1 < ends.size() && ends[i + 1] <= cut + 1) ++i;
        const in_process_result r = run_in_process(logtool::add_repair, {"repair", in, out}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(out), log.substr(0, ends[i]) + "</dump>\n");
        const in_process_result c = run_in_process(logtool::add_check, {"check", "--json", in}, dir);
        const auto j = nlohmann::json::parse(c.out);
        const bool whole = cut + 1 >= log.size();
        EXPECT_EQ(c.status, whole ? 0 : 1);
        EXPECT_EQ(j["cut_short"], !whole && cut + 1 >= ends[0]) << c.out;
        EXPECT_EQ(j["complete_batches"], i < 2 ? 0 : i - 1);
        if (HasFailure()) break;
    }
}

TEST(Reshape, SliceHalvesHoldEveryBatchOnceAndMergeBackIntoTheLog) {
    temp_dir dir;
    const string log = dir.file("in.xml"), to = dir.file("to.xml"), from = dir.file("from.xml");
    for (const unsigned seed : {1U, 2U, 3U}) {
        make_log(log, {.seed = seed});
        nanos start = 0;
        const batches all = read_back(log, &start);
        for (const nanos t : {all[0].time, all[17].time, all[17].time + 1, all.back().time + 1}) {
            const auto k = std::count_if(all.begin(), all.end(), [&](auto& b) { return b.time < t; });
            const string secs = logtool::format_seconds(t), iso = logtool::format_iso(start + t),
                         ks = std::to_string(k);
            for (const strings& f :
                 {strings{"--to", secs, "--from", secs}, strings{"--to", iso, "--from", iso},
                  strings{"--batches", ":" + ks, "--batches", ks + ":"}}) {
                SCOPED_TRACE(f[1]);
                tool({"slice", f[0], f[1], log, to});
                tool({"slice", f[2], f[3], log, from});
                EXPECT_TRUE(read_back(to) == batches(all.begin(), all.begin() + k));
                EXPECT_TRUE(read_back(from) == batches(all.begin() + k, all.end()));
                tool({"merge", dir.file("merged.xml"), to, from});
                EXPECT_EQ(read_file(dir.file("merged.xml")), read_file(log));
            }
        }
    }
}

TEST(Reshape, RetimeDividesGapsExactlyCapsThemAndShifts) {
    temp_dir dir;
    const string log = dir.file("in.xml"), out = dir.file("out.xml");
    // Each gap (capped) and, uncapped, the whole span within 1 ns of the input's / x.
    const auto near = [](nanos got, nanos aim, nanos x) { return got * x - aim <= x && aim - got * x <= x; };
    // The speed, x in billionths, the cap and the shift in ns.
    const std::tuple<const char*, long long, nanos, nanos> rows[] = {
        {"3", 3000000000, 0, 0}, {"0.25", 250000000, 0, 0}, {"2", 2000000000, 500000000, 7000000000}};
    for (const unsigned seed : {4U, 5U, 6U}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        make_log(log, {.seed = seed, .batches = 60});
        tool({"retime", log, out});
        EXPECT_EQ(read_file(out), read_file(log));
        const batches in = read_back(log);
        for (const auto& [speed, x, cap, shift] : rows) {
            strings args = {"retime", "--speed", speed, "--shift", logtool::format_seconds(shift), log, out};
            if (cap != 0) args.insert(args.begin() + 1, {"--max-gap", logtool::format_seconds(cap)});
            tool(args);
            const batches o = read_back(out);
            ASSERT_EQ(o.size(), in.size()) << speed;
            EXPECT_TRUE(o[0].time == in[0].time + shift);
            for (size_t i = 1; i < in.size(); ++i) {
                const nanos was = (in[i].time - in[i - 1].time) * ns_per_s;
                EXPECT_TRUE(near(o[i].time - o[i - 1].time, cap == 0 ? was : std::min(was, cap * x), x))
                    << speed << " gap " << i;
            }
            EXPECT_TRUE(cap != 0 ||
                        near(o.back().time - o[0].time, (in.back().time - in[0].time) * ns_per_s, x));
        }
    }
}

// What merge and retime --sort write: stable time order, equal times 1 ns apart.
batches in_time_order(batches v) {
    std::stable_sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.time < b.time; });
    for (size_t i = 1; i < v.size(); ++i) v[i].time = std::max(v[i].time, v[i - 1].time + 1);
    return v;
}

TEST(Reshape, SortKeepsFileOrderAmongEqualTimesAndMergeOrdersByAbsoluteTime) {
    temp_dir dir;
    const nanos epoch = nanos(1700000000) * ns_per_s;
    // Starts 0.1 s apart on a 0.1 s grid: ties within each log and across them, broken by file order.
    strings args{"merge", dir.file("merged.xml")};
    batches expect;  // absolute times, by input
    for (int i = 0; i < 3; ++i) {
        const nanos start = epoch + i * ns_per_s / 10;
        const string u = dir.file("u.xml");
        make_log(u, {.seed = 10U + i, .start = start, .grid = ns_per_s / 10});
        args.push_back(dir.file("l" + std::to_string(i) + ".xml"));
        tool({"retime", "--sort", u, args.back()});
        const batches sorted = read_back(args.back());
        EXPECT_TRUE(sorted == in_time_order(read_back(u)));
        for (const batch_seen& b : sorted) expect.push_back({start + b.time - epoch, b.first_path, b.events});
    }
    tool(args);
    nanos start = 0;
    EXPECT_TRUE(read_back(args[1], &start) == in_time_order(expect));
    EXPECT_TRUE(start == epoch);
}

TEST(Reshape, OutputsReplayAsTheSameFilterAppliedByReplay) {
    temp_dir dir;
    const string log = dir.file("in.xml"), a = dir.file("a.xml");
    make_log(log, {.seed = 8, .batches = 80});
    const auto replayed = [](const string& file, const strings& args = {}) {
        private_store store;
        const result r = replay(store, read_file(file), args);
        EXPECT_EQ(std::to_string(r.status) + r.err, "0") << file;  // no error, no warning
        return store.dump();
    };
    const string whole = replayed(log);
    tool({"slice", "-p", "/t8/n2", log, a});
    const string part = replayed(a);
    EXPECT_NE(part, whole);
    EXPECT_EQ(part, replayed(log, {"-p", "/t8/n2"}));
    for (const strings& args :
         {strings{"retime", "--speed", "4", log, a}, strings{"slice", "--rebase", log, a}}) {
        tool(args);
        EXPECT_EQ(replayed(a), whole) << args[0];
    }
}

// timeline's rows hold every event once and their batch ranges follow on from
// each other; the charts are written.
TEST(Timeline, RowsHoldEveryEventAndFollowOnInBatchIndexes) {
    temp_dir dir;
    const string log = dir.file("a.xml");
    make_log(log, {.seed = 9, .batches = 300});
    long long events = 0;
    for (const batch_seen& b : read_back(log)) events += (long long)b.events;
    for (const char* bin : {"", "0.37", "1000"}) {
        const result r =
            tool(*bin == '\0' ? strings{"timeline", log} : strings{"timeline", "--bin", bin, log});
        long long sum = 0, next = 0, rows = 0, a = 0, b = 0, count = 0;
        double start = 0;
        for (const string& line : lines_of(r.out)) {
            if (std::sscanf(line.c_str(), "%lf %lld:%lld %lld", &start, &a, &b, &count) != 4) continue;
            EXPECT_TRUE(a == next && a <= b && (count == 0) == (a == b)) << line;
            next = b;
            sum += count;
            ++rows;
        }
        EXPECT_EQ(next, 300) << bin;
        EXPECT_EQ(sum, events) << bin;
        EXPECT_TRUE(*bin != '\0' || (rows >= 15 && rows <= 50)) << r.out;
    }
    tool({"timeline", "--svg", dir.file("a.svg"), "--png", dir.file("a.png"), log});
    EXPECT_EQ(read_file(dir.file("a.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_NE(read_file(dir.file("a.svg")).find("<svg"), string::npos);
}

// What merge, retime and timeline refuse (1: the log, 2: the command line), and why.
TEST(Reshape, RefusesWhatItCannotDo) {
    temp_dir dir;
    const string good = dir.file("good.xml"), out = dir.file("out.xml"), cut = dir.file("cut.xml"),
                 shuffled = dir.file("shuffled.xml"), nostart = dir.file("nostart.xml");
    make_log(good, {});
    write_file(cut, read_file(good).substr(0, 2000));
    make_log(shuffled, {.grid = ns_per_s});
    make_log(nostart, {.start = -1});
    const std::tuple<strings, int, const char*> rows[] = {
        {{"merge", out, good, shuffled}, 1, "retime --sort"},
        {{"merge", out, nostart, good}, 1, "retime --start"},
        {{"retime", shuffled, out}, 1, "--sort"},
        {{"retime", "--shift", "-1000", good, out}, 1, "before the axis"},
        {{"retime", "--speed", "0", good, out}, 2, "--speed"},
        {{"retime", "--speed", "-2", good, out}, 2, "--speed"},
        {{"merge", out, good}, 2, "FILE"},
        {{"timeline", cut}, 1, "check' tells more"},
        {{"timeline", "--bin", "0.000001", good}, 2, "wider --bin"},
        {{"timeline", "--bin", "0", good}, 2, "above 0"}};
    for (const auto& [args, status, says] : rows) {
        const result r = tool(args, status);
        EXPECT_NE(r.err.find(says), string::npos) << r.err;
        EXPECT_FALSE(file_exists(out)) << args[0];
    }
}

// Times on the command line, both forms to the nanosecond (digits past the
// ninth cut off), read back from what the tool writes; and what is refused.
TEST(TimeArgs, ReadSecondsAndIsoTimesToTheNanosecondAndReadBackWhatIsWritten) {
    const std::pair<const char*, long long> rows[] = {
        {"12.5", 12500000000},         {".25", 250000000},
        {"-3.000000001", -3000000001}, {"-.5", -500000000},
        {"7.1234567891", 7123456789},  {"2026-12-06T19:04:13.5Z", 1796583853500000000},
        {"1970-01-01T00:00:00Z", 0},   {"2023-11-14T22:13:20.005000123Z", 1700000000005000123}};
    for (const auto& [text, ns] : rows) {
        logtool::time_arg t;
        string error;
        nanos back = 0;
        const bool iso = std::strchr(text, 'T') != nullptr;
        ASSERT_TRUE(logtool::parse_time_arg(text, t, error)) << text;
        EXPECT_TRUE(t.absolute == iso && t.value == ns) << text;
        EXPECT_TRUE(iso ? logtool::format_iso(t.value) == text
                        : logtool::parse_seconds(logtool::format_seconds(t.value), back) && back == ns)
            << text;
    }
    for (const char* bad : {"", ".", "1e3", "12s", "2026-12-06 19:04:13Z", "2026-12-06T19:04:13",
                            "2026-13-01T00:00:00Z", "1.5.2"}) {
        logtool::time_arg t;
        string error;
        EXPECT_FALSE(logtool::parse_time_arg(bad, t, error) || error.empty()) << bad;
    }
}

}  // namespace
