// rewrite, repeat and retime --min-gap: paths moved by whole components and back byte for byte,
// replay commuting with a rewrite, copies on subtrees of their own that are each the input shifted,
// and gaps lengthened to a minimum without drift.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "path_map.h"
#include "sample_logs.h"

namespace {

using namespace samples;

size_t count(const string& text, const string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != string::npos; ++at) ++n;
    return n;
}

// A dump's lines with their paths (second field) mapped, sorted: siblings sort by name.
strings mapped_dump(const string& dump, const strings& maps = {}) {
    logtool::path_map m;
    string error;
    for (const string& text : maps) EXPECT_TRUE(logtool::map_value(text, m, error)) << error;
    strings out;
    for (const string& line : lines_of(dump)) {
        const size_t a = line.find(' ') + 1, e = line.find(' ', a);
        string path = line.substr(a, e - a);
        m.find_and_apply(path);
        out.push_back(line.substr(0, a) + path + (e == string::npos ? "" : line.substr(e)));
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(PathMap, LongestWholeComponentOldWinsAndNewMustBeAStorePath) {
    // The longest OLD, whole components, both sides canonicalised, unmatched paths, the root's maps.
    EXPECT_EQ(mapped_dump("n /a/c\nn /a/cc\nn /x/y/q\nn /q\nn a/b", {"/a=/b", "/a/c=/d", "/x//y/=//z/"}),
              (strings{"n /b/cc", "n /d", "n /q", "n /z/q", "n a/b"}));
    EXPECT_EQ(mapped_dump("n /\nn /a/b", {"/=/lab"}), (strings{"n /lab", "n /lab/a/b"}));
    EXPECT_EQ(mapped_dump("n /\nn /a", {"/=/"}), (strings{"n /", "n /a"}));
}

// Rewritten and back with the inverse maps is the log byte for byte (it has nothing under /b or
// /q); and the rewritten log replays to the original's tree with its paths rewritten.
TEST(Rewrite, InverseMapsUndoItAndReplayCommutesWithIt) {
    temp_dir dir;
    const string in = dir.file("in.xml"), mid = dir.file("mid.xml"), back = dir.file("back.xml");
    const strings maps = {"/t1=/b", "/t1/n1=/q"};
    make_log(in, {.batches = 300});
    const string log = read_file(in);
    const size_t n1 = count(log, "\"/t1/n1/") + count(log, "\"/t1/n1\""), a = count(log, "\"/t1/") - n1;
    const string report =
        "/t1=/b: " + std::to_string(a) + " events\nrewrite: /t1/n1=/q: " + std::to_string(n1);
    EXPECT_NE(tool({"rewrite", "--map", maps[0], "--map", maps[1], in, mid}).err.find(report), string::npos);
    tool({"rewrite", "--map", "/b=/t1", "--map", "/q=/t1/n1", mid, back});
    EXPECT_EQ(read_file(back), log);
    private_store original, rewritten;
    EXPECT_EQ(replay(original, log).status + replay(rewritten, read_file(mid)).status, 0);
    EXPECT_EQ(mapped_dump(original.dump(), maps), mapped_dump(rewritten.dump()));
}

TEST(Repeat, CopiesLieOnTheirOwnSubtreesAndEachIsTheInputShifted) {
    temp_dir dir;
    const string in = dir.file("in.xml"), rep = dir.file("rep.xml"), part = dir.file("part.xml");
    make_log(in, {.seed = 11, .batches = 60});
    tool({"repeat", "3", "--gap", "0.25", "--map-each", "/t11=/x%d", in, rep});
    const batches t0 = read_back(in), t = read_back(rep);
    const size_t n = t0.size();
    ASSERT_EQ(t.size(), 3 * n);
    for (size_t i = 1; i < t.size(); ++i) EXPECT_LT(t[i - 1].time, t[i].time) << i;
    private_store once, thrice;
    EXPECT_EQ(replay(once, read_file(in)).status + replay(thrice, read_file(rep)).status, 0);
    for (size_t k = 0; k < 3; ++k) {
        const string x = "/x" + std::to_string(k);
        EXPECT_TRUE(k == 0 || t[k * n].time - t[k * n - 1].time == ns_per_s / 4) << k;
        tool({"slice", "--batches", std::to_string(k * n) + ":" + std::to_string(k * n + n), rep, part});
        tool({"rewrite", "--map", x + "=/t11", part, dir.file("back.xml")});
        tool({"retime", "--shift", logtool::format_seconds(t[k * n].time - t0[0].time), in,
              dir.file("shifted.xml")});
        EXPECT_EQ(read_file(dir.file("back.xml")), read_file(dir.file("shifted.xml"))) << k;
        EXPECT_EQ(mapped_dump(thrice.ctl_ok({"dump", x}), {x + "=/t11"}),
                  mapped_dump(once.ctl_ok({"dump", "/t11"})));
    }
    // Two starts, batches apart: the first copy has them where the input had them, the others none.
    make_log(in, {.seed = 12, .batches = 9, .start_after = 4});
    string text = read_file(in);
    write_file(in, text.insert(text.find("<dump>\n") + 7, "\t<start time=\"1600000000.5\"/>\n"));
    tool({"repeat", "3", in, rep});
    EXPECT_EQ(count(read_file(rep), "<start"), 2U);
}

// Each gap is the input's divided by the speed, capped, then raised to 0.5 s, within 1 ns (times
// are computed from the input's, so nothing drifts).
TEST(Retime, MinGapLeavesNoGapBelowItAndNeverShortensOne) {
    temp_dir dir;
    const string in = dir.file("in.xml"), out = dir.file("out.xml");
    const nanos min = ns_per_s / 2;
    const std::tuple<strings, nanos, nanos> rows[] = {
        // the options, the speed in billionths, the cap
        {{"retime", "--min-gap", ".5", in, out}, ns_per_s, 0},
        {{"retime", "--speed", "3", "--min-gap", ".5", in, out}, nanos(3) * ns_per_s, 0},
        {{"retime", "--speed", ".5", "--max-gap", "1", "--min-gap", ".5", in, out}, ns_per_s / 2, ns_per_s}};
    make_log(in, {.seed = 21, .batches = 400});
    const batches ti = read_back(in);
    for (const auto& [args, x, cap] : rows) {
        tool(args);
        const batches to = read_back(out);
        ASSERT_EQ(to.size(), ti.size());
        for (size_t i = 1; i < ti.size(); ++i) {
            const nanos got = to[i].time - to[i - 1].time, was = ti[i].time - ti[i - 1].time;
            const nanos aim =
                std::max(cap == 0 ? was * ns_per_s : std::min(was * ns_per_s, cap * x), min * x);
            EXPECT_TRUE(got >= min && got * x - aim <= x && aim - got * x <= x) << args[2] << " gap " << i;
        }
    }
}

// What rewrite, repeat and retime refuse (1: the log, 2: the command line) before writing anything.
TEST(Traffic, RefusesBadMapsStandardInputAndDisorder) {
    temp_dir dir;
    const string good = dir.file("good.xml"), out = dir.file("out.xml"), shuffled = dir.file("s.xml");
    make_log(good, {.batches = 10});
    make_log(shuffled, {.batches = 300, .grid = ns_per_s});  // times in any order
    const batches sb = read_back(shuffled);
    size_t d = 1;  // the first batch before the one before it, read long before the log's end
    while (sb[d].time >= sb[d - 1].time) ++d;
    const string disorder = "(batch " + std::to_string(d) + " lies before";
    const std::tuple<strings, int, string> rows[] = {
        {{"rewrite", "--map", "/a=/b", "--map", "/a/=/c", good, out}, 2, "two maps of /a"},
        {{"rewrite", "--map", "/a=/b\tc", good, out}, 2, "the store takes no path"},
        {{"repeat", "2", "--map-each", "a=/", good, out}, 2, "to the root"},
        {{"repeat", "2", "-", out}, 2, "save the log to a file"},
        {{"repeat", "2", shuffled, out}, 1, disorder},
        {{"merge", out, good, shuffled}, 1, disorder},
        {{"retime", "--min-gap", ".5", "--max-gap", ".1", good, out}, 2, "below --min-gap"}};
    for (const auto& [args, status, says] : rows) {
        EXPECT_NE(tool(args, status).err.find(says), string::npos) << args[0];
        EXPECT_FALSE(file_exists(out)) << args[0];
    }
}

}  // namespace
