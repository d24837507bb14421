// The toolbox's reading and writing seam: where the start element goes, compressed logs read and
// written, outputs that cannot be finished, and the small rules the subcommands are built from.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "compression.h"
#include "in_process.h"
#include "info_trackers.h"
#include "log_stats.h"
#include "retimer.h"
#include "sample_logs.h"
#include "selection.h"

namespace {

using namespace samples;
using logtool::format_seconds;

// Every batch at its absolute time, with its first path.
std::vector<std::pair<nanos, string>> absolute(const string& file, const string& only = "/") {
    nanos start = 0;
    std::vector<std::pair<nanos, string>> v;
    for (const batch_seen& b : read_back(file, &start))
        if (b.first_path.starts_with(only)) v.emplace_back(start + b.time, b.first_path);
    return v;
}

// Starts read late: one after the 210th batch, and in `twice` another, of another time, before the
// first. The start replay uses (the last) is written once for each start met, where it was met.
TEST(Seam, StartAfterTheFirstBatchesKeepsAbsoluteTimesThroughEveryWriter) {
    temp_dir dir;
    const string late = dir.file("late.xml"), twice = dir.file("twice.xml"), other = dir.file("other.xml"),
                 out = dir.file("out.xml");
    const nanos epoch = nanos(1700000000) * ns_per_s;
    make_log(late, {.seed = 21, .batches = 230, .start = epoch, .start_after = 210});
    make_log(other, {.seed = 22, .batches = 5, .start = epoch - 7 * ns_per_s});
    string text = read_file(late);
    write_file(twice, text.insert(text.find("<dump>\n") + 7, "\t<start time=\"1600000000.5\"/>\n"));
    const string from = format_seconds(read_back(late)[10].time);
    // The arguments, the first batch kept, whether the output is the input byte for byte.
    const std::tuple<strings, size_t, bool> rows[] = {{{"slice", "--from", from}, 10, false},
                                                      {{"slice", "--rebase", "--from", from}, 10, false},
                                                      {{"slice", "--rebase", "--batches", "30:"}, 30, false},
                                                      {{"retime"}, 0, true},
                                                      {{"rewrite", "--map", "/x=/y"}, 0, true},
                                                      {{"repeat", "1"}, 0, true},
                                                      {{"repair"}, 0, true},
                                                      {{"merge", out, other}, 0, false}};
    for (const string& in : {late, twice}) {
        const auto want = absolute(in);
        for (auto [args, first, same] : rows) {
            if (args[0] == "merge" && in == twice) continue;  // merge places each input by its first start
            args.push_back(in);
            if (args[0] != "merge") args.push_back(out);
            SCOPED_TRACE(args[0] + " " + args[1] + " " + in);
            tool(args);
            EXPECT_TRUE(absolute(out, "/t21/") == decltype(want)(want.begin() + long(first), want.end()));
            const string written = read_file(out);
            size_t starts = 0;
            for (size_t at = written.find("<start"); at != string::npos; at = written.find("<start", at + 1))
                ++starts;
            EXPECT_TRUE(same ? written == read_file(in) : starts == (in == late ? 1U : 2U)) << starts;
        }
    }
}

TEST(Seam, CompressedLogsReadAsThePlainTextAndOutputsAreWrittenCompressed) {
    temp_dir dir;
    const string plain = dir.file("a.xml"), other = dir.file("b.xml");
    make_log(plain, {.seed = 23, .batches = 50});
    make_log(other, {.seed = 24, .batches = 7});
    const string text = read_file(plain);
    const strings packed = {run({"/bin/gzip", "-c", plain}).out,
                            run({"/usr/bin/zstd", "-q", "-c", plain}).out};
    const strings rows[] = {{"info", "-"},
                            {"info", "--json", "-"},
                            {"check", "--max-gap", "1", "-"},
                            {"repair", "-", "-"},
                            {"slice", "--batches", "5:20", "-p", "/t23/n1", "-", "-"},
                            {"retime", "--speed", "3", "-", "-"},
                            {"rewrite", "--map", "/t23/n1=/u", "-", "-"},
                            {"merge", "-", "-", other},
                            {"timeline", "-"},
                            {"state", "--keep-going", "--times", "-"},
                            {"state", "--keep-going", "--json", "-", other}};
    for (strings args : rows) {
        args.insert(args.begin(), ROREZUREDI_LOG_BIN);
        const result want = run(args, {.input = text});
        ASSERT_EQ(want.status, 0) << args[1] << want.err;
        for (const string& bytes : packed) {
            const result got = run(args, {.input = bytes});
            EXPECT_TRUE(got.status == want.status && got.out == want.out && got.err == want.err) << args[1];
        }
    }
    for (const auto& [name, unpack] :
         {std::pair{"o.xml.gz", "/bin/gzip"}, std::pair{"o.xml.zst", "/usr/bin/zstd"}}) {
        tool({"repair", plain, dir.file(name)});
        EXPECT_EQ(run({unpack, "-d", "-c", dir.file(name)}).out, text) << name;
    }
}

// A capture piped through zstd and killed: the stream stops anywhere, inside a frame too. Each cut
// repairs as the text of the frames complete before it does, and check judges the two alike.
TEST(Seam, ZstdStreamCutAnywhereRepairsAsTheTextThatDecompressed) {
    temp_dir dir;
    const string plain = dir.file("a.xml"), cut = dir.file("cut.zst"), prefix = dir.file("prefix.xml"),
                 out = dir.file("out.xml");
    make_log(plain, {.seed = 25, .batches = 30});
    const string text = read_file(plain);
    string stream;
    std::vector<std::pair<size_t, size_t>> frames;  // where each frame ends, and the text it holds
    for (size_t at = 0; at < text.size(); at += 400) {
        FILE* f = logtool::open_encoding(std::fopen(out.c_str(), "w"), logtool::compression::zstd);
        std::fputs(text.substr(at, 400).c_str(), f);
        std::fclose(f);
        stream += read_file(out);
        frames.emplace_back(stream.size(), std::min(at + 400, text.size()));
    }
    for (size_t n = 0; n <= stream.size(); n += 97) {
        SCOPED_TRACE("cut at " + std::to_string(n));
        write_file(cut, stream.substr(0, n));
        size_t whole = 0;
        for (const auto& [end, upto] : frames)
            if (end <= n) whole = upto;
        write_file(prefix, text.substr(0, whole));
        const auto repaired = [&](const string& f) {
            return run_in_process(logtool::add_repair, {"repair", f, "-"}, dir);
        };
        const auto checked = [&](const string& f) {
            return nlohmann::json::parse(run_in_process(logtool::add_check, {"check", "--json", f}, dir).out);
        };
        const in_process_result x = repaired(cut), y = repaired(prefix);
        EXPECT_TRUE(x.status == 0 && y.status == 0 && x.out == y.out);
        EXPECT_EQ(checked(cut)["cut_short"], checked(prefix)["cut_short"]);
    }
}

// Runs a subcommand in a child whose files may not grow past `limit` bytes: the write, the flush
// or the close fails before the rename.
int run_limited(logtool::command (*add)(CLI::App&), const strings& args, rlim_t limit) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit r{limit, limit};
        setrlimit(RLIMIT_FSIZE, &r);
        std::signal(SIGXFSZ, SIG_IGN);
        std::freopen("/dev/null", "w", stderr);
        _exit(logtool::run_subcommand(add, args));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Seam, WritersLeaveNoFileWhenTheyCannotFinishAndNeverWriteOverAnInput) {
    temp_dir dir;
    const string in = dir.file("in.xml"), link = dir.file("link.xml"), zin = dir.file("in.xml.zst");
    make_log(in, {.seed = 26, .batches = 60});
    ASSERT_EQ(::link(in.c_str(), link.c_str()), 0);
    tool({"repair", in, zin});
    const string text = read_file(in), packed = read_file(zin);
    const strings rows[] = {{"repair", in, link},      {"slice", in, in},
                            {"retime", link, in},      {"merge", in, zin, link},
                            {"merge", zin, in, zin},   {"slice", zin, zin},
                            {"repeat", "2", zin, zin}, {"rewrite", "--map=/a=/b", in, link}};
    for (const strings& args : rows) {
        EXPECT_NE(tool(args, 2).err.find("is an input"), string::npos) << args[0];
        EXPECT_TRUE(read_file(in) == text && read_file(zin) == packed) << args[0];
    }
    const auto files = [&] { return std::distance(std::filesystem::directory_iterator(dir.path()), {}); };
    const auto before = files();
    for (const char* name : {"out.xml", "out.xml.zst", "out.xml.gz"}) {
        EXPECT_EQ(run_limited(logtool::add_slice, {"slice", in, dir.file(name)}, 1024), 2) << name;
        EXPECT_EQ(files(), before) << name;
    }
}

// Batch times on the edges of windows, bins, caps and rounding.
TEST(Seam, EdgesOfWindowsBinsGapCapsAndRetimedGaps) {
    for (const auto& [t1, peak] : {std::pair{ns_per_s, 1}, {ns_per_s - 1, 2}}) {
        logtool::peak_window w(ns_per_s);
        w.add(0, 1);
        w.add(t1, 1);
        EXPECT_EQ(w.peak(), peak);
    }
    // speed (billionths), cap, shift; input times; output times
    using times = std::vector<nanos>;
    const std::tuple<nanos, std::optional<nanos>, nanos, times, times> rows[] = {
        {2 * ns_per_s, {}, 0, {0, 1, 4, 9}, {0, 1, 2, 5}},     // halves round away from zero
        {4 * ns_per_s, {}, 0, {0, 5, 6, 6}, {0, 1, 2, 3}},     // 1.25 down, 1.5 up, no gap: 1 ns on
        {ns_per_s / 2, {4}, 3, {0, 2, 3, 10}, {3, 7, 9, 13}},  // doubled, capped at 4 exactly
    };
    for (const auto& [speed, cap, shift, in, want] : rows) {
        logtool::retimer clock(speed, cap, shift);
        times got;
        for (const nanos t : in) got.push_back(clock.next(t));
        EXPECT_TRUE(got == want) << int(speed / ns_per_s);
    }
    // check's gaps and timeline's bins: exactly on the limit is not over it, exactly on an edge opens a bin.
    temp_dir dir;
    const string log = dir.file("l.xml");
    write_file(log, log_document(log_batch("0.999999999", "CMD_ADD_NODE", log_event("/a")) +
                                 log_batch("1.000000000", "CMD_ADD_NODE", log_event("/b")) +
                                 log_batch("3.000000000", "CMD_ADD_NODE", log_event("/c"))));
    EXPECT_EQ(tool({"check", "--strict", "--max-gap", "2", log}).status, 0);
    EXPECT_NE(tool({"check", "--strict", "--max-gap", "1.999999999", log}, 1).out.find("1 gap longer"),
              string::npos);
    const strings rows_out = lines_of(tool({"timeline", "--bin", "1", log}).out);
    ASSERT_GE(rows_out.size(), 6U);
    for (const auto& [row, range] : {std::pair{3, "0:1"}, {4, "1:2"}, {5, "2:2"}})
        EXPECT_NE(rows_out[size_t(row)].find(range), string::npos) << rows_out[size_t(row)];
}

// The trackers against counting everything: the longest gaps and, while the keys fit, exact prefix counts.
TEST(Seam, TrackersAgreeWithCountingEverything) {
    std::mt19937 rng(27);
    for (int round = 0; round < 20; ++round) {
        logtool::gap_tracker gaps(5);
        std::vector<logtool::batch_gap> all;
        logtool::heavy_hitters hits(64);
        std::map<string, long long> counts;
        for (long long i = 1; i < 200; ++i) {
            const logtool::batch_gap g{nanos(rng() % 30), 0, i};
            gaps.add(g);
            all.push_back(g);
            const string key = "/k" + std::to_string(rng() % (round < 10 ? 50 : 100));
            hits.add(key);
            ++counts[key];
        }
        std::stable_sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.length > b.length; });
        const auto longest = gaps.longest();
        for (size_t i = 0; i < 5; ++i)
            EXPECT_TRUE(longest[i].length == all[i].length && longest[i].index == all[i].index);
        EXPECT_EQ(hits.approximate(), round >= 10 && counts.size() > 64);
        for (const auto& [key, n] : hits.top(64))
            EXPECT_TRUE(hits.approximate() ? n >= counts[key] : n == counts[key]) << key;
    }
}

TEST(Seam, SelectionRangesAndPathRulesAsRorezurediReadsThem) {
    // --batches: the text, and the range read (first -2: refused)
    const std::tuple<const char*, long long, long long> ranges[] = {
        {"3:7", 3, 7},   {":7", 0, 7},    {"3:", 3, -1},   {":", 0, -1},     {"3", -2, 0},
        {"a:b", -2, 0},  {"-1:2", -2, 0}, {"1:-2", -2, 0}, {"1:2:3", -2, 0}, {" 1:2", -2, 0},
        {"1:2 ", -2, 0}, {"+1:2", -2, 0}, {"1.5:2", -2, 0}};
    for (const auto& [text, first, end] : ranges) {
        logtool::batch_range r{-2, 0};
        string error;
        EXPECT_TRUE(logtool::parse_batch_range(text, r, error) == (first >= 0) && r.first == first &&
                    r.end == end)
            << text;
    }
    // -p as given on the command line, the event's path, kept
    const std::tuple<const char*, const char*, bool> paths[] = {
        {"t8/n2", "/t8/n2/l", true}, {"//t8//n2/", "/t8/n2/l", true}, {"/t8/n2", "/t8/n3/l", false}};
    for (const auto& [given, path, kept] : paths) {
        logtool::selection s;
        s.include_path(given);
        logtool::log_batch b;
        b.batch.cmd = CMD_CLEAR_LEAF;
        b.batch.events.resize(1);
        b.batch.events[0].path = path;
        EXPECT_EQ(s.keeps(b), kept) << given;
    }
}

}  // namespace
