// info on a small hand-made log whose every figure is known.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "harness.h"

namespace {

using harness::log_batch;
using harness::log_event;
using harness::log_leaf;

// Seven kept batches: two share a time, one is out of order, two events
// (one in a batch left empty) don't convert.
std::string known_log() {
    return harness::log_document(
        log_batch("0.000000000", "CMD_SET_LEAF",
                  log_leaf("/a/b/c", "int32", "1") + log_leaf("/a/b/d", "string", "x")) +
        log_batch("0.004000000", "CMD_ADD_NODE", log_event("/a/b/e")) +
        log_batch("0.004000000", "CMD_REMOVE_NODE", log_event("/x")) +
        log_batch("1.500000000", "CMD_SET_LEAF",
                  log_leaf("/a/c", "uint32", "nope") + log_leaf("/a/c/z", "bool", "true")) +
        log_batch("2.000000000", "CMD_SET_LEAF", log_leaf("/a/b/k", "int32", "bad")) +
        log_batch("1.200000000", "CMD_CLEAR_LEAF", log_event("/q/r/s")) +
        log_batch("3.700000000", "CMD_SET_LEAF",
                  log_leaf("/a/b/f", "int32", "3") + log_leaf("/a/b/g", "int32", "4") +
                      log_leaf("/a/b/h", "int32", "5")) +
        log_batch("4.200000000", "CMD_SET_LEAF",
                  log_leaf("/a/b/i", "double", "1.5") + log_leaf("/a/b/j", "double", "2.5")));
}

TEST(Info, CountsAKnownLog) {
    harness::temp_dir dir;
    harness::write_file(dir.file("known.xml"), known_log());
    const harness::result r = harness::run({ROREZUREDI_LOG_BIN, "info", "--json", dir.file("known.xml")});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    const struct {
        const char* pointer;
        nlohmann::json expected;
    } rows[] = {
        {"/batches", 7},
        {"/events", 11},
        {"/empty_batches", 1},
        {"/start", "2023-11-14T22:13:20.005000123Z"},
        {"/actions/CMD_SET_LEAF", {{"batches", 4}, {"events", 8}}},
        {"/actions/CMD_ADD_NODE", {{"batches", 1}, {"events", 1}}},
        {"/actions/CMD_REMOVE_NODE", {{"batches", 1}, {"events", 1}}},
        {"/actions/CMD_CLEAR_LEAF", {{"batches", 1}, {"events", 1}}},
        {"/span/text", "4.200000000"},
        {"/peaks/0/events", 5},
        {"/peaks/0/at/text", "3.700000000"},
        {"/peaks/1/events", 4},
        {"/peaks/1/at/text", "0.000000000"},
        {"/longest_gaps/0/text", "2.500000000"},
        {"/longest_gaps/0/before_batch", 5},
        {"/longest_gaps/1/text", "1.496000000"},
        {"/longest_gaps/1/before_batch", 3},
        {"/longest_gaps/2/before_batch", 6},
        {"/longest_gaps/3/before_batch", 1},
        {"/value_types", {{"bool", 1}, {"double", 2}, {"int32", 4}, {"string", 1}}},
        {"/busiest_prefixes/top/0", {{"prefix", "/a/b"}, {"events", 8}}},
        {"/busiest_prefixes/approximate", false},
        {"/out_of_order_batches", 1},
        {"/shared_time_batches", 2},
        {"/dropped_events", 2},
    };
    for (const auto& row : rows)
        EXPECT_EQ(j.at(nlohmann::json::json_pointer(row.pointer)), row.expected) << row.pointer;
    EXPECT_EQ(j["longest_gaps"].size(), 4U);  // the gap to an out-of-order batch is none

    // The text block tells the same.
    const harness::result t = harness::run({ROREZUREDI_LOG_BIN, "info", dir.file("known.xml")});
    ASSERT_EQ(t.status, 0) << t.err;
    for (const std::string line :
         {"batches              7 (and 1 without events)", "span                 4.200000000 s",
          "peak in 1 s          5 events from 3.700000000 s", "  2.500000000 s between batches 4 and 5",
          "out of order         1 batches", "shared times         2 batches", "dropped events       2"})
        EXPECT_NE(t.out.find("\n" + line), std::string::npos) << line << "\n" << t.out;
}

TEST(Info, RefusesABrokenLogAndReadsStandardInput) {
    const std::string log = known_log();
    harness::options in;
    in.input = log.substr(0, log.size() / 2);
    EXPECT_EQ(harness::run({ROREZUREDI_LOG_BIN, "info", "-"}, in).status, 1);
    in.input = log;
    const harness::result r = harness::run({ROREZUREDI_LOG_BIN, "info", "--json", "-"}, in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["size"], log.size());
}

}  // namespace
