// check's verdict is the replay reader's, on the fuzz corpus and on hostile
// logs; and it places hand-made faults at the right line and column.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "in_process.h"
#include "memory_log.h"

namespace {

using namespace harness;
using std::string;

struct named_log {
    string name;
    string text;
};

std::vector<named_log> hostile_logs() {
    const string decl = log_decl;
    std::vector<named_log> logs;
    string laughs = "<!DOCTYPE dump [\n<!ENTITY l0 \"/lol\">\n";
    for (int i = 1; i <= 10; ++i) {
        string body;
        for (int k = 0; k < 10; ++k) body += "&l" + std::to_string(i - 1) + ";";
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + body + "\">\n";
    }
    logs.push_back(
        {"nested entities", log_document(log_batch("0.0", "CMD_SET_LEAF", log_leaf("/v", "string", "&l10;")),
                                         decl + laughs + "]>\n")});
    const string set_a = log_batch("0.0", "CMD_SET_LEAF", log_leaf("/ext/a", "string", "[&e;]"));
    logs.push_back({"external DTD", log_document(set_a, decl + "<!DOCTYPE dump SYSTEM \"/nonexistent\">\n")});
    logs.push_back({"external entity in a value",
                    log_document(set_a, decl + "<!DOCTYPE dump [<!ENTITY e SYSTEM \"/etc/hostname\">]>\n")});
    logs.push_back({"external entity in a path",
                    log_document(log_batch("0.0", "CMD_ADD_NODE", log_event("/ext/&e;")),
                                 decl + "<!DOCTYPE dump [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>\n")});
    for (const string& bad : {string("\xc0\xaf"), string("\xe2\x82"), string("\xed\xa0\x80"), string(1, '\0'),
                              string("\x01"), string("&#0;")}) {
        logs.push_back({"bad bytes in a value",
                        log_document(log_batch("1.0", "CMD_SET_LEAF", log_leaf("/p", "string", "v" + bad)))});
        logs.push_back(
            {"bad bytes in a path", log_document(log_batch("1.0", "CMD_ADD_NODE", log_event("/p" + bad)))});
    }
    string open, close;
    for (int i = 0; i < 10000; ++i) open += "<x>", close += "</x>";
    logs.push_back({"deep unknown elements",
                    log_document(open + log_batch("0.0", "CMD_ADD_NODE", log_event("/deep/n")) + close)});
    const string full = log_document(
        log_batch("0.000000000", "CMD_ADD_NODE", log_event("/cut/a")) +
        log_batch("0.500000000", "CMD_SET_LEAF", log_leaf("/cut/a/s", "string", "x &amp; &lt;y&gt;&#10;z")));
    for (size_t len = 0; len <= full.size(); len += 37) logs.push_back({"prefix", full.substr(0, len)});
    logs.push_back({"whole", full});
    return logs;
}

TEST(Check, GivesTheReadersVerdictOnTheCorpusAndOnHostileLogs) {
    std::vector<named_log> logs = hostile_logs();
    const auto corpus = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" /
                        "corpus" / "fuzz_log_reader";
    for (const auto& e : std::filesystem::directory_iterator(corpus))
        logs.push_back({e.path().filename().string(), read_file(e.path().string())});
    ASSERT_GT(logs.size(), 50U);
    temp_dir dir;
    const string file = dir.file("log.xml");
    int accepted = 0;
    for (named_log& l : logs) {
        SCOPED_TRACE(l.name);
        write_file(file, l.text);
        const in_process_result r = run_in_process(logtool::add_check, {"check", "--json", file}, dir);
        const bool reader_accepts = read_memory_log(l.text.data(), l.text.size()) == 0;
        accepted += reader_accepts ? 1 : 0;
        EXPECT_EQ(r.status, reader_accepts ? 0 : 1) << r.out;
        EXPECT_EQ(nlohmann::json::parse(r.out)["verdict"], reader_accepts ? "accepted" : "refused");
    }
    EXPECT_GT(accepted, 5);  // both verdicts are met
    EXPECT_LT(accepted, int(logs.size()) - 5);
}

TEST(Check, PlacesTheFirstErrorAtItsLineAndColumn) {
    const string head = string(log_decl) + "<dump>\n";
    const string open = "\t<batch time=\"1.0\" action=\"CMD_ADD_NODE\">\n";
    struct fault {
        string name, text, at;  // `at`: the text that starts at the error
        int line, column;
        string reason;
        bool cut_short;
    };
    const fault faults[] = {
        {"mismatched tag", head + open + "\t\t<event path=\"/a\" />\n\t</event>\n", "event>\n", 5, 4,
         "mismatched tag", false},
        {"nested batch", head + open + "\t" + open + "\t</batch>\n</dump>\n", "<batch", 4, 3,
         "Error: nested batch", false},
        {"bad time", head + "\t<batch time=\"1.x\" action=\"CMD_ADD_NODE\">\n\t</batch>\n</dump>\n", "<batch",
         3, 2, "Error: bad/missing batch timestamp", false},
        {"cut in an event", head + open + "\t\t<event pa", "", 4, 3, "unclosed token", true},
        {"junk after the root", head + "</dump>\nx", "x", 4, 1, "junk after document element", false},
    };
    temp_dir dir;
    for (const fault& f : faults) {
        SCOPED_TRACE(f.name);
        const string file = dir.file("fault.xml");
        write_file(file, f.text);
        const result r = run({ROREZUREDI_LOG_BIN, "check", "--json", file});
        EXPECT_EQ(r.status, 1);
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["position"]["line"], f.line) << r.out;
        EXPECT_EQ(j["position"]["column"], f.column);
        EXPECT_EQ(j["position"]["byte"], f.at.empty() ? f.text.rfind('<') : f.text.rfind(f.at));
        EXPECT_EQ(j["reason"], f.reason);
        EXPECT_EQ(j["cut_short"], f.cut_short);
        const result text = run({ROREZUREDI_LOG_BIN, "check", file});
        EXPECT_EQ(text.out.substr(0, text.out.find('\n')),
                  file + ":" + std::to_string(f.line) + ":" + std::to_string(f.column) +
                      ": error: " + f.reason + " (byte " + std::to_string(long(j["position"]["byte"])) + ")");
    }
}

TEST(Check, WarnsOfWhatReplayWouldDoAndStrictRefusesIt) {
    const string log = log_document(
        log_batch("5.0", "CMD_ADD_NODE", log_event("/a")) +
        log_batch("2.0", "CMD_SET_LEAF", log_leaf("/a/i", "int32", "x") + log_leaf("/a/j", "int32", "1")) +
        log_batch("2.0", "CMD_ADD_NODE", "\t\t<event path=\"/b\" colour=\"red\" />\n<unknown/>\n") +
        log_batch("9000.0", "CMD_ADD_NODE", log_event("/c")));
    temp_dir dir;
    const string file = dir.file("warn.xml");
    write_file(file, log);
    const in_process_result r = run_in_process(logtool::add_check, {"check", file}, dir);
    EXPECT_EQ(r.status, 0);
    const strings lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 7U) << r.out;
    EXPECT_EQ(lines[0], file + ": 4 batches, 4 events, span 8998 s");
    for (const char* what : {"1 batch out of time order (the first: batch 1 at 2 s after one at 5 s)",
                             "2 batches share their time", "1 gap longer than 3600 s (the longest: 8998 s",
                             "1 event's value does not convert", "1 unknown element", "1 unknown attribute"})
        EXPECT_NE(r.out.find(file + ": warning: " + what), string::npos) << what;
    EXPECT_EQ(run_in_process(logtool::add_check, {"check", "--strict", file}, dir).status, 1);
    EXPECT_EQ(
        lines_of(run_in_process(logtool::add_check, {"check", "--max-gap", "9000", file}, dir).out).size(),
        6U);
}

}  // namespace
