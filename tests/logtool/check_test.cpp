// check's verdict is the replay reader's; it places faults at their line and
// column, and warns of what replay would do.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "in_process.h"
#include "memory_log.h"

namespace {

using namespace harness;
using std::string;

TEST(Check, GivesTheReadersVerdictOnTheCorpus) {
    temp_dir dir;
    const string file = dir.file("log.xml");
    int accepted = 0, logs = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(__FILE__).parent_path() /
                                                             "../../fuzz/corpus/fuzz_log_reader")) {
        SCOPED_TRACE(e.path().filename().string());
        string text = read_file(e.path().string());
        write_file(file, text);
        const in_process_result r = run_in_process(logtool::add_check, {"check", "--json", file}, dir);
        const bool reader_accepts = read_memory_log(text.data(), text.size()) == 0;
        accepted += reader_accepts ? 1 : 0;
        ++logs;
        EXPECT_EQ(r.status, reader_accepts ? 0 : 1) << r.out;
        EXPECT_EQ(nlohmann::json::parse(r.out)["verdict"], reader_accepts ? "accepted" : "refused");
    }
    EXPECT_GT(accepted, 5);  // both verdicts are met
    EXPECT_LT(accepted, logs - 5);
}

TEST(Check, PlacesTheFirstErrorAtItsLineAndColumn) {
    const string head = string(log_decl) + "<dump>\n";
    const string open = "\t<batch time=\"1.0\" action=\"CMD_ADD_NODE\">\n";
    const struct {
        string text, at;  // `at`: the text the error starts at ("": the last '<')
        int line, column;
        const char* reason;
    } faults[] = {
        {head + open + "\t\t<event path=\"/a\" />\n\t</event>\n", "event>\n", 5, 4, "mismatched tag"},
        {head + open + "\t" + open + "\t</batch>\n</dump>\n", "<batch", 4, 3, "Error: nested batch"},
        {head + "\t<batch time=\"1.x\" action=\"CMD_ADD_NODE\">\n\t</batch>\n</dump>\n", "<batch", 3, 2,
         "Error: bad/missing batch timestamp"},
        {head + open + "\t\t<event pa", "", 4, 3, "unclosed token"},
        {head + "</dump>\nx", "x", 4, 1, "junk after document element"},
    };
    temp_dir dir;
    for (const auto& f : faults) {
        SCOPED_TRACE(f.reason);
        const string file = dir.file("fault.xml");
        write_file(file, f.text);
        const result r = run({ROREZUREDI_LOG_BIN, "check", "--json", file});
        EXPECT_EQ(r.status, 1);
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["position"]["line"], f.line) << r.out;
        EXPECT_EQ(j["position"]["column"], f.column);
        EXPECT_EQ(j["position"]["byte"], f.at.empty() ? f.text.rfind('<') : f.text.rfind(f.at));
        EXPECT_EQ(j["reason"], f.reason);
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
