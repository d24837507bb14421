// The log reader fed with in-memory logs: messages, results and times.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "memory_log.h"

namespace {

using namespace harness;
using std::string;

struct outcome {
    int rc;
    string out;
    string err;
};

outcome read_log(string text) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rc = read_memory_log(text.data(), text.size());
    string out = testing::internal::GetCapturedStdout();
    return {rc, out, testing::internal::GetCapturedStderr()};
}

string wrap(const string& body) {
    return string(log_decl) + "<dump>\n" + body + "</dump>\n";
}

class Reader : public testing::Test {
protected:
    void TearDown() override { reset_program_state(); }
};

// Log text -> exact standard error, result and number of batches kept.
TEST_F(Reader, MessagesAndResults) {
    const string add = "action=\"CMD_ADD_NODE\"";
    const string failed = "XML_ParseBuffer() failed\n";
    const string stamp_fail = "Error: bad/missing batch timestamp" + failed;
    const string conversion = "Warning: failed to do type conversion\n";
    // A log with one batch at 0.0 of the given command around `events`.
    auto adding = [&](const string& events) {
        return wrap("<batch time=\"0.0\" " + add + ">" + events + "</batch>");
    };
    auto setting = [](const string& events) {
        return wrap("<batch time=\"0.0\" action=\"CMD_SET_LEAF\">" + events + "</batch>");
    };
    struct row {
        const char* name;
        string log;
        string err;
        int rc;
        size_t batches;
    };
    const std::vector<row> rows = {
        {"empty file", "", failed, -1, 0},
        {"empty dump", wrap(""), "", 0, 0},
        {"truncated",
         string(log_decl) + "<dump><batch time=\"0.0\" " + add +
             "><event path=\"/a\"/></batch><batch time=\"1.0\" " + add + ">",
         failed, -1, 1},
        {"batch without events", adding(""), "", 0, 0},
        {"bad time and no action", wrap("<batch time=\"x\"></batch>"),
         "Invalid time: x\nError: bad/missing batch timestampError: bad/missing batch action" + failed, -1,
         0},
        {"lower-case action",
         wrap("<batch time=\"0.0\" action=\"cmd_add_node\"><event path=\"/a\"/></batch>"),
         "Error: bad/missing batch action" + failed, -1, 0},
        {"event outside batch", wrap("<event/>"),
         "Error: event outside of batch\nError: event without path\n" + failed, -1, 0},
        {"set-leaf with unknown type", setting("<event path=\"/a\" type=\"Int32\">1</event>"),
         "Error: SET_LEAF with bad/no type\n" + failed, -1, 0},
        {"empty path", adding("<event path=\"\"/>"), "Error: event without path\n" + failed, -1, 0},
        {"nested events", adding("<event path=\"/a\"><event path=\"/b\"/></event>"),
         "Error: nested events\n" + failed, -1, 0},
        {"nested batch", adding("<event path=\"/a\"/><batch time=\"1.0\" " + add + "/>"),
         "Error: nested batch\n" + failed, -1, 0},
        {"conversion failure drops event and batch", setting("<event path=\"/a\" type=\"int32\">abc</event>"),
         conversion, 0, 0},
        {"conversion failure keeps the rest",
         setting("<event path=\"/a\" type=\"int32\"> 7</event><event path=\"/b\" type=\"int32\">7</event>"),
         conversion, 0, 1},
        {"self-closing string event", setting("<event path=\"/a\" type=\"string\"/>"), "", 0, 1},
        {"repeated attribute",
         wrap("<batch time=\"0.0\" time=\"1.0\" " + add + "><event path=\"/a\"/></batch>"), failed, -1, 0},
        {"unsupported attributes",
         wrap("<start time=\"1.0\" zone=\"utc\"/><batch color=\"red\" time=\"0.0\" " + add +
              "><event id=\"1\" path=\"/a\"/></batch>"),
         "Warning: unsupported attribute zone on <start> tag\n"
         "Warning: unsupported attribute color on <batch> tag\n"
         "Warning: unsupported attribute id on <event> tag\n",
         0, 1},
        {"type outside set-leaf",
         adding("<event path=\"/a\" type=\"uint32\"/><event path=\"/b\" type=\"nosuch\"/>"),
         "Warning: ignoring type\n", 0, 1},
        {"unknown elements",
         "<log><note>hi</note><batch time=\"0.0\" " + add + "><x/><event path=\"/a\"/></batch></log>",
         "Unrecognized tag 'log'\nUnrecognized tag 'note'\nUnrecognized tag 'x'\n", 0, 1},
        {"bad start time", wrap("<start time=\"abc\"/>"), "Invalid time: abc\n" + stamp_fail, -1, 0},
        {"control character", adding("<event path=\"/a\x01\"/>"), failed, -1, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const outcome o = read_log(r.log);
        EXPECT_EQ(o.err, r.err);
        EXPECT_EQ(o.rc, r.rc);
        EXPECT_EQ(o.out, "Parsing XML...\n");
        EXPECT_EQ(program_state.batches.size(), r.batches);
        EXPECT_EQ(program_state.parser, nullptr);
    }
}

// Every time text reads as sscanf's "%ld.%ld" reads it (signs, white space,
// overflow, garbage); the digits after the point are a count.
TEST_F(Reader, TimesReadLikeTheLibraryConversion) {
    const std::vector<std::vector<string>> groups = {
        {"1.5", "12.000034", "2.500000000", "4.999999999", "4.1000000000"},
        {"+1.+2", "1.-2", "-1.5", "&#9;&#10;&#13;3.4", "1. 5", "1 .5"},
        {"1.", ".5", "", "1.5x", "6.25 trailing", "0x10.5"},
        {"9223372036854775807.999999999", "9223372036854775808.1", "1.99999999999999999999999"},
        {"0000000000000000000000007.0000000000000000000000008"}};
    auto doc = [](const string& batch_time, const string& event_time) {
        return "<dump><batch time=\"" + batch_time + "\" action=\"CMD_ADD_NODE\"><event path=\"/a\" time=\"" +
               event_time + "\"/></batch></dump>";
    };
    for (const auto& group : groups)
        for (const string& text : group) {
            SCOPED_TRACE("time \"" + text + "\"");
            // The attribute value as the parser hands it over: the character
            // references decoded (tab and line feed survive normalisation so).
            string value = text;
            for (const auto& [ref, c] :
                 {std::pair<string, string>{"&#9;", "\t"}, {"&#10;", "\n"}, {"&#13;", "\r"}})
                for (size_t pos = 0; (pos = value.find(ref)) != string::npos;)
                    value.replace(pos, ref.size(), c);
            long sec = 0, frac = 0;
            const bool readable = std::sscanf(value.c_str(), "%ld.%ld", &sec, &frac) == 2;
            const string invalid = readable ? "" : "Invalid time: " + value + "\n";

            // As a batch time: kept exactly, or the read fails.
            outcome o = read_log(doc(text, "1.0"));
            if (readable && sec >= 0 && frac >= 0 && frac <= 999999999) {
                ASSERT_EQ(o.rc, 0) << o.err;
                ASSERT_EQ(program_state.batches.size(), 1u);
                EXPECT_EQ(program_state.batches[0].time.tv_sec, sec);
                EXPECT_EQ(program_state.batches[0].time.tv_nsec, frac);
            } else {
                EXPECT_EQ(o.rc, -1);
                EXPECT_EQ(o.err, invalid + "Error: bad/missing batch timestampXML_ParseBuffer() failed\n");
            }

            // As an event time: no range test; unreadable gives seconds -1.
            o = read_log(doc("0.0", text));
            ASSERT_EQ(o.rc, 0) << o.err;
            ASSERT_EQ(program_state.batches.size(), 1u);
            const timeval& tv = program_state.batches[0].events.at(0).value.timestamp();
            EXPECT_EQ(tv.tv_sec, readable ? sec : -1);
            EXPECT_EQ(tv.tv_usec, readable ? frac : 0);
            EXPECT_EQ(o.err, invalid);
        }
}

TEST_F(Reader, LaterStartReplacesEarlierAndBatchesKeepFileOrder) {
    const outcome o =
        read_log(wrap("<start time=\"10.5\"/>" + log_batch("9.0", "CMD_ADD_NODE", log_event("/late")) +
                      "<start time=\"20.7\"/>" + log_batch("1.0", "CMD_ADD_NODE", log_event("/early"))));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(program_state.start_time.tv_sec, 20);
    EXPECT_EQ(program_state.start_time.tv_nsec, 7);
    ASSERT_EQ(program_state.batches.size(), 2u);
    EXPECT_EQ(program_state.batches[0].events[0].path, "/late");
    EXPECT_EQ(program_state.batches[1].events[0].path, "/early");
}

// Logs around the reader's 8192-byte piece size, the last event at the very end.
TEST_F(Reader, LogsAtPieceBoundaries) {
    const string head = string(log_decl) + "<dump>\n" + log_batch("0.0", "CMD_ADD_NODE", log_event("/first"));
    const string tail = log_batch("1.0", "CMD_ADD_NODE", log_event("/last")) + "</dump>";
    for (size_t size : {8191u, 8192u, 8193u}) {
        SCOPED_TRACE(size);
        const outcome o = read_log(head + string(size - head.size() - tail.size(), ' ') + tail);
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.err, "");
        ASSERT_EQ(program_state.batches.size(), 2u);
        EXPECT_EQ(program_state.batches[1].events[0].path, "/last");
    }
}

}  // namespace
