// print, export and import over logs that capture wrote from a seeded random workload: export's
// JSON Lines imported give back the log byte for byte; its CSV holds the same rows; a selection
// shows what slice keeps; and import refuses broken lines by line and field, writing nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "in_process.h"
#include "sample_logs.h"
#include "workload.h"

namespace {

using namespace harness;
using std::string;
using json = nlohmann::ordered_json;
using field = std::optional<string>;  // nullopt: an empty unquoted CSV field, or JSON null
using rows = std::vector<std::vector<field>>;

// Text with every byte a store string may hold: tab, line feed, carriage return, the printable
// ASCII, and each lead and continuation byte of UTF-8 within a valid sequence.
string every_allowed_byte() {
    string s = "\t\n\r";
    for (int c = 0x20; c < 0x7f; ++c) s += char(c);
    for (int c = 0x80; c <= 0xbf; ++c) s += {char(0xc2), char(c)};
    for (int c = 0xc3; c <= 0xdf; ++c) s += {char(c), char(0x80)};
    s += "\xe0\xa0\x80\xed\x80\x80\xf0\x90\x80\x80\xf4\x80\x80\x80";
    for (int c : {0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xeb, 0xec, 0xee, 0xef})
        s += {char(c), char(0x80), char(0x80)};
    for (int c : {0xf1, 0xf2, 0xf3}) s += {char(c), char(0x80), char(0x80), char(0x80)};
    return s;
}

// The text of a binary value of the bytes 0 to 255.
string every_byte_hex() {
    string hex;
    for (int b = 0; b < 256; ++b) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return hex;
}

// Runs a subcommand in process; the test fails unless it exits with `status`.
in_process_result tool(strings args, const temp_dir& dir, int status = 0) {
    const string name = args[0];
    const auto add = name == "print"    ? logtool::add_print
                     : name == "export" ? logtool::add_export
                     : name == "slice"  ? logtool::add_slice
                                        : logtool::add_import;
    in_process_result r = run_in_process(add, args, dir);
    EXPECT_EQ(r.status, status) << name << ": " << r.err;
    return r;
}

// A strict RFC 4180 reader: CRLF records, quoted fields with doubled quotes, no bare quote or
// line break outside quotes. Fails the test on anything else.
rows read_csv(const string& text) {
    rows out(1);
    for (size_t i = 0; i < text.size();) {
        field f;
        if (text[i] == '"') {
            f.emplace();
            for (++i;; ++i) {
                if (i >= text.size()) {
                    ADD_FAILURE() << "an unclosed quote";
                    return out;
                }
                if (text[i] == '"' && text.compare(i++, 2, "\"\"") != 0) break;
                f->push_back(text[i]);
            }
        } else {
            const size_t end = std::min(text.find_first_of(",\r\n\"", i), text.size());
            if (end != i) f = text.substr(i, end - i);
            i = end;
        }
        out.back().push_back(f);
        if (text.compare(i, 2, "\r\n") == 0) {
            if ((i += 2) < text.size()) out.emplace_back();
        } else if (i < text.size()) {
            EXPECT_EQ(text[i++], ',') << "at byte " << i;
        }
    }
    return out;
}

rows read_jsonl(const string& text) {
    rows out;
    for (const string& line : lines_of(text)) {
        const json j = json::parse(line);
        out.emplace_back();
        for (const auto& [key, v] : j.items())
            out.back().push_back(v.is_null() ? field() : field(v.is_string() ? v.get<string>() : v.dump()));
    }
    return out;
}

class Events : public ::testing::Test {
protected:
    // One log per seed, captured once for the suite.
    static void SetUpTestSuite() {
        for (const unsigned seed : {7u, 20261207u}) {
            private_store store;
            capture cap(store);
            ASSERT_TRUE(cap.ready()) << cap.proc().err();
            store.use_in_process();
            toolkit::CVelt api;
            api.handle = vlt_init();
            workload w{std::mt19937_64(seed)};
            for (int i = 0; i < 300; ++i) w.step(api);
            std::vector<toolkit::CElement> v(2);
            v[0].set_string(every_allowed_byte());
            string all(256, '\0');
            for (int b = 0; b < 256; ++b) all[size_t(b)] = char(b);
            v[1].set_bytes(DATATYPE_BINARY, all);
            std::vector<api_status_t> st;
            api.set_leaves({"/a&b/x<y>/\"every\" byte", "/日本/é,\"q\""}, v, {VLT_UNSET, VLT_UNSET}, st, "");
            ASSERT_EQ(cap.stop(SIGINT), 0) << cap.proc().err();
            logs().push_back(dir().file("log" + std::to_string(seed) + ".xml"));
            write_file(logs().back(), cap.log());
        }
    }
    static void TearDownTestSuite() { logs().clear(); }
    static temp_dir& dir() {
        static temp_dir d;
        return d;
    }
    static strings& logs() {
        static strings l;
        return l;
    }
};

// The bytes of `file`, decompressed when its name says it is compressed.
string unpacked(const string& file) {
    if (file.ends_with(".zst")) return run({"/usr/bin/zstd", "-d", "-c", file}).out;
    if (file.ends_with(".gz")) return run({"/bin/gzip", "-d", "-c", file}).out;
    return read_file(file);
}

// The second log goes through compressed files: read, exported and imported as zstd and gzip.
TEST_F(Events, ExportedJsonLinesImportToTheSameBytesAndCsvHoldsTheSameRows) {
    for (const string& log : logs()) {
        SCOPED_TRACE(log);
        const bool packed = log == logs().back();
        const string in = packed ? dir().file("in.xml.zst") : log, csv = dir().file("rows.csv"),
                     jsonl = dir().file(packed ? "rows.jsonl.gz" : "rows.jsonl"),
                     back = dir().file(packed ? "back.xml.zst" : "back.xml");
        if (packed) write_file(in, run({"/usr/bin/zstd", "-q", "-c", log}).out);
        tool({"export", in, jsonl}, dir());
        tool({"import", jsonl, back}, dir());
        EXPECT_EQ(unpacked(back), read_file(log));

        tool({"export", "--format", "csv", log, csv}, dir());
        rows from_csv = read_csv(read_file(csv));
        const rows from_json = read_jsonl(unpacked(jsonl));
        ASSERT_FALSE(from_csv.empty());
        from_csv.erase(from_csv.begin());  // the header
        EXPECT_TRUE(from_csv == from_json);
        // The rows cover every value type, and the values of every byte.
        std::set<string> types;
        int every_byte = 0;
        for (const auto& r : from_json) {
            if (r[9]) types.insert(*r[9]);
            every_byte += r[10] == every_allowed_byte() || r[10] == every_byte_hex() ? 1 : 0;
        }
        EXPECT_EQ(types.size(), 11U);
        EXPECT_EQ(every_byte, 2);
    }
}

// The print of a log with each header's batch index left out (slice counts its batches anew).
string print_without_indexes(const string& text) {
    string out;
    for (string line : lines_of(text)) {
        if (line.compare(0, 6, "batch ") == 0) line.erase(6, line.find(' ', 6) - 5);
        out += line + "\n";
    }
    return out;
}

TEST_F(Events, PrintAndExportWithASelectionShowWhatSliceKeeps) {
    const string log = logs()[0], sliced = dir().file("sliced.xml"), rows_file = dir().file("sel.jsonl");
    tool({"export", log, rows_file}, dir());
    const rows all = read_jsonl(read_file(rows_file));
    const std::vector<field>& mid = all[all.size() / 2];
    const strings selections[] = {{"--from", *mid[1]},
                                  {"--to", *mid[3]},
                                  {"--batches", "3:9"},
                                  {"-p", "/eth0"},
                                  {"-x", "/eth0"},
                                  {"-a", "mtu"},
                                  {"-i", "mtu", "--action", "CMD_SET_LEAF"},
                                  {"--action", "CMD_ADD_NODE", "--batches", "2:"}};
    for (const strings& sel : selections) {
        SCOPED_TRACE(sel[0] + " " + sel[1]);
        const auto with = [&](strings args, const string& file) {
            args.insert(args.begin() + 1, sel.begin(), sel.end());
            args.push_back(file);
            return args;
        };
        tool(with({"slice", log}, sliced), dir());
        tool(with({"export", log}, rows_file), dir());
        rows shown = read_jsonl(read_file(rows_file));
        tool({"export", sliced, rows_file}, dir());
        rows kept = read_jsonl(read_file(rows_file));
        EXPECT_GT(kept.size(), 0U);
        EXPECT_LT(kept.size(), all.size());
        for (rows* r : {&shown, &kept})
            for (auto& row : *r) row.erase(row.begin());
        EXPECT_TRUE(shown == kept);
        EXPECT_EQ(print_without_indexes(tool(with({"print"}, log), dir()).out),
                  print_without_indexes(tool({"print", sliced}, dir()).out));
    }
}

TEST_F(Events, ImportGroupsHandWrittenLinesIntoBatches) {
    const string in = dir().file("scenario.jsonl"), out = dir().file("scenario.xml");
    write_file(
        in,
        "{\"time\": 0, \"action\": \"CMD_ADD_NODE\", \"path\": \"/net\"}\n"
        "{\"time\": 0, \"action\": \"CMD_ADD_NODE\", \"path\": \"/net/eth0\"}\n\n"
        "{\"time\": 1.5, \"action\": \"CMD_SET_LEAF\", \"path\": \"/net/eth0/mtu\", \"type\": \"uint32\", "
        "\"value\": \"1500\", \"stamp\": \"1700000001.5\"}\n"
        "{\"time\": \"1.5\", \"action\": \"CMD_SET_LEAF\", \"path\": \"/net/eth0/name\", \"type\": "
        "\"string\", "
        "\"value\": \"a<b>\\n\"}\n"
        "{\"time\": \"2\", \"action\": \"CMD_REMOVE_NODE\", \"path\": \"/net\", \"note\": \"ignored\"}\n");
    tool({"import", "--start", "2023-11-14T22:13:20.005000123Z", in, out}, dir());
    EXPECT_EQ(
        read_file(out),
        log_document(log_batch("0.000000000", "CMD_ADD_NODE",
                               log_event("/net", "-1.000000") + log_event("/net/eth0", "-1.000000")) +
                     log_batch("1.500000000", "CMD_SET_LEAF",
                               log_leaf("/net/eth0/mtu", "uint32", "1500", "1700000001.500000") +
                                   log_leaf("/net/eth0/name", "string", "a&lt;b&gt;&#10;", "-1.000000")) +
                     log_batch("2.000000000", "CMD_REMOVE_NODE", log_event("/net", "-1.000000"))));
}

TEST_F(Events, ImportRefusesBrokenLinesNamingLineAndFieldAndWritesNothing) {
    const string ok = R"({"time":"1","action":"CMD_ADD_NODE","path":"/a"})";
    const auto leaf = [](const string& type, const string& value) {
        return R"({"time":"1","action":"CMD_SET_LEAF","path":"/a/b","type":")" + type + R"(","value":)" +
               value + "}";
    };
    const std::tuple<string, int, string> broken[] = {
        {R"({"time":"1","action":"CMD_ADD_NODE"})", 1, "field 'path' is missing"},
        {ok + "\n" + R"({"time":"0.5","action":"CMD_ADD_NODE","path":"/b"})", 2, "field 'time' goes back"},
        {R"({"time":"-1","action":"CMD_ADD_NODE","path":"/a"})", 1, "field 'time'"},
        {R"({"time":"1.0000000001","action":"CMD_ADD_NODE","path":"/a"})", 1, "field 'time'"},
        {R"({"action":"CMD_ADD_NODE","path":"/a"})", 1, "field 'time' is missing"},
        {R"({"time":"1","action":"CMD_ADD","path":"/a"})", 1, "field 'action'"},
        {R"({"time":"1","action":"CMD_ADD_NODE","path":"/a//b"})", 1, "field 'path'"},
        {R"({"time":"1","action":"CMD_ADD_NODE","path":"a/b/"})", 1, "field 'path'"},
        {ok + "\n" + leaf("uint33", "\"1\""), 2, "field 'type'"},
        {leaf("uint32", "\"-1\""), 1, "field 'value'"},
        {leaf("double", "\"1.50\""), 1, "field 'value'"},
        {leaf("string", "\"\\u0001\""), 1, "field 'value'"},
        {leaf("string", "null"), 1, "field 'value' is missing"},
        {R"({"time":"1","action":"CMD_ADD_NODE","path":"/a","stamp":"1.1234567"})", 1, "field 'stamp'"},
        {string(R"({"batch":0,"time":"1","action":"CMD_ADD_NODE","path":"/a"})") + "\n" +
             R"({"batch":0,"time":"1","action":"CMD_REMOVE_NODE","path":"/a"})",
         2, "field 'action'"},
        {string(R"({"time":"1","iso_time":"2026-01-01T00:00:01Z","action":"CMD_ADD_NODE","path":"/a"})") +
             "\n" + R"({"time":"1","iso_time":"2026-01-01T00:00:02Z","action":"CMD_ADD_NODE","path":"/b"})",
         2, "field 'iso_time'"},
        {ok + "\n\n[1]", 3, "the line"},
        {"{\"time\":", 1, "the line"},
    };
    const string in = dir().file("broken.jsonl"), out = dir().file("broken.xml");
    for (const auto& [text, line, what] : broken) {
        SCOPED_TRACE(text);
        write_file(in, text + "\n");
        const in_process_result r = tool({"import", in, out}, dir(), 1);
        EXPECT_NE(r.err.find(in + ":" + std::to_string(line) + ": " + what), string::npos) << r.err;
        EXPECT_FALSE(file_exists(out));
    }
    write_file(in, R"({"time":"1","iso_time":"2026-01-01T00:00:02Z","action":"CMD_ADD_NODE","path":"/a"})"
                   "\n");
    const string given = tool({"import", "--start", "2026-01-01T00:00:00Z", in, out}, dir(), 1).err;
    EXPECT_NE(given.find(":1: field 'iso_time'"), string::npos) << given;
    for (const char* sub : {"export", "import"})
        EXPECT_NE(tool({sub, in, in}, dir(), 2).err.find("is an input"), string::npos) << sub;
}

// Events replay drops stay in print and export, marked, and a batch left with no other has the next
// batch's index; the other subcommands still read the log as replay does.
TEST_F(Events, EventsReplayDropsAreShownMarkedAndOnlyThere) {
    const string log = dir().file("drops.xml"), rows_file = dir().file("drops.jsonl"),
                 out = dir().file("o.xml");
    const string none = "-1.000000";
    write_file(
        log, log_document(
                 log_batch("0.000000000", "CMD_SET_LEAF",
                           log_leaf("/a/b", "uint32", "12", none) + log_leaf("/a/c", "uint32", "x12", none)) +
                 log_batch("1.000000000", "CMD_SET_LEAF", log_leaf("/a/c", "bool", "maybe", none)) +
                 log_batch("2.000000000", "CMD_ADD_NODE", log_event("/a/d", none))));
    tool({"export", log, rows_file}, dir());
    rows got;
    for (const auto& r : read_jsonl(read_file(rows_file))) got.push_back({r[0], r[10], r[11]});
    const rows want = {
        {"0", "12", "false"}, {"0", "x12", "true"}, {"1", "maybe", "true"}, {"1", {}, "false"}};
    EXPECT_TRUE(got == want);
    const string printed = tool({"print", log}, dir()).out;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 7);
    EXPECT_NE(printed.find("x12 (replay drops it: not a uint32)"), string::npos) << printed;
    EXPECT_NE(tool({"slice", log, out}, dir()).err.find("kept 2 batches, 2 events"), string::npos);
}

// A start read late, and a second start of another time: rows before a start have no absolute
// time, and import writes each start where the log had it.
TEST_F(Events, LateAndSecondStartsComeBackWhereTheLogHadThem) {
    const string late = dir().file("late.xml"), twice = dir().file("twice.xml"),
                 jsonl = dir().file("l.jsonl"), back = dir().file("l.xml");
    samples::make_log(late, {.seed = 31, .batches = 40, .start_after = 30});
    string text = read_file(late);
    write_file(twice, text.insert(text.find("<dump>\n") + 7, "\t<start time=\"1600000000.500000000\"/>\n"));
    for (const string& log : {late, twice}) {
        tool({"export", log, jsonl}, dir());
        tool({"import", jsonl, back}, dir());
        EXPECT_EQ(read_file(back), read_file(log)) << log;
    }
}

}  // namespace
