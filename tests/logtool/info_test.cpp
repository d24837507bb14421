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

TEST(Info, CountsAKnownLogFromStandardInput) {
    const std::string log = known_log();
    harness::options in{.input = log};
    const harness::result r = harness::run({ROREZUREDI_LOG_BIN, "info", "--json", "-"}, in);
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    const nlohmann::json want = nlohmann::json::parse(R"({
        "batches": 7, "events": 11, "empty_batches": 1, "start": "2023-11-14T22:13:20.005000123Z",
        "actions": {"CMD_SET_LEAF": {"batches": 4, "events": 8}, "CMD_ADD_NODE": {"batches": 1, "events": 1},
                    "CMD_REMOVE_NODE": {"batches": 1, "events": 1}, "CMD_CLEAR_LEAF": {"batches": 1, "events": 1}},
        "span": {"text": "4.200000000"},
        "peaks": [{"events": 5, "at": {"text": "3.700000000"}}, {"events": 4, "at": {"text": "0.000000000"}}],
        "longest_gaps": [{"text": "2.500000000", "before_batch": 5}, {"text": "1.496000000", "before_batch": 3},
                         {"before_batch": 6}, {"before_batch": 1}],
        "busiest_prefixes": {"top": [{"prefix": "/a/b", "events": 8}], "approximate": false},
        "out_of_order_batches": 1, "shared_time_batches": 2, "dropped_events": 2})");
    const nlohmann::json flat = want.flatten();
    for (const auto& [pointer, value] : flat.items())
        EXPECT_EQ(j.at(nlohmann::json::json_pointer(pointer)), value) << pointer;
    EXPECT_EQ(j["size"], log.size());
    EXPECT_EQ(j["value_types"], nlohmann::json({{"bool", 1}, {"double", 2}, {"int32", 4}, {"string", 1}}));
    EXPECT_EQ(j["longest_gaps"].size(), 4U);  // the gap to an out-of-order batch is none

    // The text block tells the same; a log cut short is refused.
    const harness::result t = harness::run({ROREZUREDI_LOG_BIN, "info", "-"}, in);
    for (const std::string line :
         {"batches              7 (and 1 without events)", "span                 4.200000000 s",
          "peak in 1 s          5 events from 3.700000000 s", "  2.500000000 s between batches 4 and 5",
          "dropped events       2"})
        EXPECT_NE(t.out.find("\n" + line), std::string::npos) << line << "\n" << t.out;
    in.input = log.substr(0, log.size() / 2);
    EXPECT_EQ(harness::run({ROREZUREDI_LOG_BIN, "info", "-"}, in).status, 1);
}

}  // namespace
