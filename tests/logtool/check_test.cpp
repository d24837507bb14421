// check's verdict is the replay reader's, placed at its line and column; info
// and check on a log whose every figure is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "in_process.h"
#include "memory_log.h"

namespace {

using namespace harness;
using nlohmann::json;
using std::string;

TEST(Check, GivesTheReadersVerdictOnTheCorpus) {
    temp_dir dir;
    int accepted = 0, logs = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(__FILE__).parent_path() /
                                                             "../../fuzz/corpus/fuzz_log_reader")) {
        SCOPED_TRACE(e.path().filename().string());
        string text = read_file(e.path().string());
        const bool ok = read_memory_log(text.data(), text.size()) == 0;
        const in_process_result r = run_in_process(logtool::add_check, {"check", "--json", e.path()}, dir);
        accepted += ok ? 1 : 0;
        ++logs;
        EXPECT_EQ(r.status, ok ? 0 : 1) << r.out;
        EXPECT_EQ(json::parse(r.out)["verdict"], ok ? "accepted" : "refused");
    }
    EXPECT_GT(accepted, 5);  // both verdicts are met
    EXPECT_LT(accepted, logs - 5);
}

// Cut short only when the document ends inside an open element with nothing else wrong.
TEST(Check, PlacesTheFirstErrorAtItsLineAndColumnAndTellsCutShortFromBroken) {
    const string b = "\t<batch time=\"1.0\" action=\"CMD_ADD_NODE\">\n";
    const std::tuple<string, const char*, bool> faults[] = {
        // '@' marks where the error lies
        {b + "\t\t<event path=\"/a\" />\n\t</@event>\n", "mismatched tag", false},
        {b + "\t\t@<batch>\n\t</batch>\n</dump>\n", "Error: nested batch", false},
        {b + "\t\t@<batch>", "Error: nested batch", false},
        {"\t@<batch time=\"1.x\">\n\t</batch>\n</dump>\n", "Error: bad/missing batch timestamp", false},
        {b + "\t\t@<event pa", "unclosed token", true},
        {b + "\t\t<event path=\"/a\" />\n@", "no element found", true},
        {"</dump>\n@x", "junk after document element", false}};
    temp_dir dir;
    const string file = dir.file("fault.xml");
    for (auto [text, reason, cut] : faults) {
        SCOPED_TRACE(reason);
        text = string(log_decl) + "<dump>\n" + text;
        const size_t at = text.find('@'), line = std::count(text.begin(), text.begin() + long(at), '\n') + 1;
        const size_t column = at - text.rfind('\n', at);
        write_file(file, text.erase(at, 1));
        const result r = run({ROREZUREDI_LOG_BIN, "check", "--json", file});
        EXPECT_EQ(r.status, 1);
        const json j = json::parse(r.out);
        EXPECT_EQ(j["position"], json({{"line", line}, {"column", column}, {"byte", at}})) << r.out;
        EXPECT_TRUE(j["reason"] == reason && j["cut_short"] == cut &&
                    j["refused_by"] == (reason[0] == 'E' ? "reader rule" : "XML parser"));
        const string out = run({ROREZUREDI_LOG_BIN, "check", file}).out;
        EXPECT_EQ(out.substr(0, out.find('\n')), file + ":" + std::to_string(line) + ":" +
                                                     std::to_string(column) + ": error: " + reason +
                                                     " (byte " + std::to_string(at) + ")");
    }
}

// Seven kept batches: two share a time, one is out of order, two events (one
// in a batch left empty) don't convert; an unknown element and attribute.
TEST(Info, CountsAKnownLogFromStandardInputAndCheckWarnsOfIt) {
    const string log = log_document(
        log_batch("0.000000000", "CMD_SET_LEAF",
                  log_leaf("/a/b/c", "int32", "1") + log_leaf("/a/b/d", "string", "x")) +
        log_batch("0.004000000", "CMD_ADD_NODE", log_event("/a/b/e")) +
        log_batch("0.004000000", "CMD_REMOVE_NODE", "\t\t<event path=\"/x\" colour=\"red\" /><unknown/>\n") +
        log_batch("1.500000000", "CMD_SET_LEAF",
                  log_leaf("/a/c", "uint32", "nope") + log_leaf("/a/c/z", "bool", "true")) +
        log_batch("2.000000000", "CMD_SET_LEAF", log_leaf("/a/b/k", "int32", "bad")) +
        log_batch("1.200000000", "CMD_CLEAR_LEAF", log_event("/q/r/s")) +
        log_batch("3.700000000", "CMD_SET_LEAF",
                  log_leaf("/a/b/f", "int32", "3") + log_leaf("/a/b/g", "int32", "4") +
                      log_leaf("/a/b/h", "int32", "5")) +
        log_batch("4.200000000", "CMD_SET_LEAF",
                  log_leaf("/a/b/i", "double", "1.5") + log_leaf("/a/b/j", "double", "2.5")));
    options in{.input = log};
    const result r = run({ROREZUREDI_LOG_BIN, "info", "--json", "-"}, in);
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out).flatten(), want = json::parse(R"({"batches": 7, "events": 11,
        "empty_batches": 1, "start": "2023-11-14T22:13:20.005000123Z", "span": {"text": "4.200000000"},
        "actions": {"CMD_SET_LEAF": {"batches": 4, "events": 8}, "CMD_ADD_NODE": {"batches": 1, "events": 1},
                    "CMD_REMOVE_NODE": {"batches": 1, "events": 1}, "CMD_CLEAR_LEAF": {"batches": 1, "events": 1}},
        "peaks": [{"events": 5, "at": {"text": "3.700000000"}}, {"events": 4, "at": {"text": "0.000000000"}}],
        "longest_gaps": [{"text": "2.500000000", "before_batch": 5}, {"text": "1.496000000", "before_batch": 3},
                         {"before_batch": 6}, {"before_batch": 1}],
        "value_types": {"bool": 1, "double": 2, "int32": 4, "string": 1}, "dropped_events": 2,
        "busiest_prefixes": {"top": [{"prefix": "/a/b", "events": 8}], "approximate": false},
        "out_of_order_batches": 1, "shared_time_batches": 2})");
    for (const auto& [pointer, value] : want.flatten().get<std::map<string, json>>())
        EXPECT_EQ(j.at(pointer), value) << pointer;
    EXPECT_EQ(j.at("/size"), log.size());
    // No gap before a batch out of order or at the same time as the one before it.
    EXPECT_FALSE(j.contains("/longest_gaps/4/text"));

    // The text block tells the same.
    const string text = run({ROREZUREDI_LOG_BIN, "info", "-"}, in).out;
    for (const string line :
         {"batches              7 (and 1 without events)", "span                 4.200000000 s",
          "peak in 1 s          5 events from 3.700000000 s", "  2.500000000 s between batches 4 and 5",
          "dropped events       2"})
        EXPECT_NE(text.find("\n" + line), string::npos) << line << "\n" << text;

    const string out = run({ROREZUREDI_LOG_BIN, "check", "--max-gap", "2", "-"}, in).out;
    const strings lines = lines_of(out);
    ASSERT_EQ(lines.size(), 7U) << out;
    EXPECT_EQ(lines[0], "standard input: 7 batches, 11 events, span 4.2 s");
    for (const char* what :
         {"1 batch out of time order (the first: batch 4 at 1.2 s after one at 1.5 s)",
          "2 batches share their time", "1 gap longer than 2 s (the longest: 2.5 s before batch 5)",
          "2 events' values do not convert", "1 unknown element", "1 unknown attribute"})
        EXPECT_NE(out.find("standard input: warning: " + string(what)), string::npos) << what;
    EXPECT_EQ(run({ROREZUREDI_LOG_BIN, "check", "--strict", "-"}, in).status, 1);
    EXPECT_EQ(lines_of(run({ROREZUREDI_LOG_BIN, "check", "-"}, in).out).size(), 6U);
    in.input = log.substr(0, log.size() / 2);
    EXPECT_EQ(run({ROREZUREDI_LOG_BIN, "info", "-"}, in).status, 1);
}

}  // namespace
