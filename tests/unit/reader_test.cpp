// The log reader fed with in-memory logs, and the replay loop driven in
// process with batches that the filter refuses (so no store is needed).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "rorezuredi.h"

namespace {

const std::string decl = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n";

std::string wrap(const std::string& body) { return decl + "<dump>\n" + body + "</dump>\n"; }

void reset_state() {
    ProgramState& ps = program_state;
    ps.include_paths.clear();
    ps.exclude_paths.clear();
    ps.include_attrs.clear();
    ps.exclude_attrs.clear();
    ps.parser = nullptr;
    ps.char_data.clear();
    ps.batch_in_progress = false;
    ps.event_in_progress = false;
    ps.current_batch = event_batch_t();
    ps.start_time = timespec{0, 0};
    ps.batches.clear();
    ps.use_original_delays = false;
    ps.wait_delay_us = 0;
    ps.preserve_timestamps = false;
    ps.clock_origin = timespec{0, 0};
    ps.spinner_index = 0;
}

struct outcome {
    int rc;
    std::string out;
    std::string err;
};

// Runs the reader on `text` through an in-memory stream.
outcome read_log(std::string text) {
    char spare = 0;
    FILE* f = text.empty() ? fmemopen(&spare, 0, "r") : fmemopen(text.data(), text.size(), "r");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return {-99, "", ""};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = parse_xml_file(f);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {rc, out, err};
}

class Reader : public testing::Test {
protected:
    void SetUp() override { reset_state(); }
    void TearDown() override { reset_state(); }
};

TEST_F(Reader, ReadsTheWritersDocumentFieldByField) {
    const std::string log = decl +
                            "<dump>\n"
                            "\t<start time=\"1700000000.5000123\"/>\n"
                            "\t<batch time=\"0.000000000\" action=\"CMD_ADD_NODE\">\n"
                            "\t\t<event path=\"/a/b\" time=\"1700000000.004870\" />\n"
                            "\t</batch>\n"
                            "\t<batch time=\"1.250000000\" action=\"CMD_SET_LEAF\">\n"
                            "\t\t<event path=\"/a/b/c\" time=\"1700000001.254998\" type=\"int32\">42</event>\n"
                            "\t\t<event path=\"/a/b/d\" time=\"1700000001.254998\" type=\"string\"></event>\n"
                            "\t</batch>\n"
                            "\t<batch time=\"3.000020500\" action=\"CMD_REMOVE_NODE\">\n"
                            "\t\t<event path=\"/a/b\" time=\"1700000003.000811\" />\n"
                            "\t</batch>\n"
                            "</dump>\n";
    outcome r = read_log(log);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "Parsing XML...\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(program_state.parser, nullptr);
    EXPECT_EQ(program_state.start_time.tv_sec, 1700000000);
    EXPECT_EQ(program_state.start_time.tv_nsec, 5000123);

    struct expected {
        long sec, nsec;
        api_cmd_t cmd;
        const char* path;
        data_type_t type;
        long ev_sec, ev_usec;
    };
    const expected rows[] = {{0, 0, CMD_ADD_NODE, "/a/b", DATATYPE_INVALID, 1700000000, 4870},
                             {1, 250000000, CMD_SET_LEAF, "/a/b/c", DATATYPE_INT32, 1700000001, 254998},
                             {1, 250000000, CMD_SET_LEAF, "/a/b/d", DATATYPE_STRING, 1700000001, 254998},
                             {3, 20500, CMD_REMOVE_NODE, "/a/b", DATATYPE_INVALID, 1700000003, 811}};
    const std::vector<event_batch_t>& b = program_state.batches;
    ASSERT_EQ(b.size(), 3u);
    ASSERT_EQ(b[1].events.size(), 2u);
    const event_instance_t* events[] = {&b[0].events.at(0), &b[1].events[0], &b[1].events[1], &b[2].events.at(0)};
    const event_batch_t* owners[] = {&b[0], &b[1], &b[1], &b[2]};
    for (int i = 0; i < 4; ++i) {
        const expected& e = rows[i];
        EXPECT_EQ(owners[i]->time.tv_sec, e.sec) << i;
        EXPECT_EQ(owners[i]->time.tv_nsec, e.nsec) << i;
        EXPECT_EQ(owners[i]->cmd, e.cmd) << i;
        EXPECT_EQ(events[i]->path, e.path) << i;
        EXPECT_EQ(events[i]->type, e.type) << i;
        EXPECT_EQ(events[i]->value.type(), e.type) << i;  // node events carry no value
        EXPECT_EQ(events[i]->value.timestamp().tv_sec, e.ev_sec) << i;
        EXPECT_EQ(events[i]->value.timestamp().tv_usec, e.ev_usec) << i;
    }
    EXPECT_EQ(b[1].events[0].value.get_int32(), 42);
    EXPECT_EQ(b[1].events[1].value.get_bytes(), "");
}

// Log text -> exact standard error, result and number of batches kept.
TEST_F(Reader, MessagesAndResults) {
    const std::string add = "action=\"CMD_ADD_NODE\"";
    const std::string set = "action=\"CMD_SET_LEAF\"";
    const std::string stamp_fail = "Error: bad/missing batch timestampXML_ParseBuffer() failed\n";
    struct row {
        const char* name;
        std::string log;
        std::string err;
        int rc;
        size_t batches;
    };
    const std::vector<row> rows = {
        {"empty file", "", "XML_ParseBuffer() failed\n", -1, 0},
        {"empty dump", wrap(""), "", 0, 0},
        {"no declaration", "<dump><batch time=\"0.0\" " + add + "><event path=\"/a\"/></batch></dump>", "", 0, 1},
        {"truncated", decl + "<dump>\n<batch time=\"0.0\" " + add + "><event path=\"/a\"/></batch>\n<batch time=\"1.0\" " + add + ">\n",
         "XML_ParseBuffer() failed\n", -1, 1},
        {"batch without events", wrap("<batch time=\"0.0\" " + add + "></batch>"), "", 0, 0},
        {"bad time and no action", wrap("<batch time=\"x\"></batch>"),
         "Invalid time: x\nError: bad/missing batch timestampError: bad/missing batch actionXML_ParseBuffer() failed\n", -1, 0},
        {"missing time", wrap("<batch " + add + "/>"), stamp_fail, -1, 0},
        {"ten fraction digits", wrap("<batch time=\"1.1234567890\" " + add + "/>"), stamp_fail, -1, 0},
        {"negative seconds", wrap("<batch time=\"-1.0\" " + add + "/>"), stamp_fail, -1, 0},
        {"negative fraction", wrap("<batch time=\"1.-5\" " + add + "/>"), stamp_fail, -1, 0},
        {"no point", wrap("<batch time=\"1\" " + add + "/>"), "Invalid time: 1\n" + stamp_fail, -1, 0},
        {"blank before point", wrap("<batch time=\"1 .5\" " + add + "/>"), "Invalid time: 1 .5\n" + stamp_fail, -1, 0},
        {"no digits after point", wrap("<batch time=\"3.\" " + add + "/>"), "Invalid time: 3.\n" + stamp_fail, -1, 0},
        {"lower-case action", wrap("<batch time=\"0.0\" action=\"cmd_add_node\"><event path=\"/a\"/></batch>"),
         "Error: bad/missing batch actionXML_ParseBuffer() failed\n", -1, 0},
        {"event outside batch", wrap("<event/>"),
         "Error: event outside of batch\nError: event without path\nXML_ParseBuffer() failed\n", -1, 0},
        {"event outside batch with type", wrap("<event path=\"/a\" type=\"int32\">5</event>"),
         "Error: event outside of batch\nWarning: ignoring type\nXML_ParseBuffer() failed\n", -1, 0},
        {"set-leaf without type", wrap("<batch time=\"0.0\" " + set + "><event path=\"/a\"/></batch>"),
         "Error: SET_LEAF with bad/no type\nXML_ParseBuffer() failed\n", -1, 0},
        {"set-leaf with unknown type", wrap("<batch time=\"0.0\" " + set + "><event path=\"/a\" type=\"Int32\">1</event></batch>"),
         "Error: SET_LEAF with bad/no type\nXML_ParseBuffer() failed\n", -1, 0},
        {"empty path", wrap("<batch time=\"0.0\" " + add + "><event path=\"\"/></batch>"),
         "Error: event without path\nXML_ParseBuffer() failed\n", -1, 0},
        {"nested events", wrap("<batch time=\"0.0\" " + add + "><event path=\"/a\"><event path=\"/b\"/></event></batch>"),
         "Error: nested events\nXML_ParseBuffer() failed\n", -1, 0},
        {"nested batch", wrap("<batch time=\"0.0\" " + add + "><event path=\"/a\"/><batch time=\"1.0\" " + add + "/></batch>"),
         "Error: nested batch\nXML_ParseBuffer() failed\n", -1, 0},
        {"conversion failure drops event and batch",
         wrap("<batch time=\"0.0\" " + set + "><event path=\"/a\" type=\"int32\">abc</event></batch>"),
         "Warning: failed to do type conversion\n", 0, 0},
        {"conversion failure keeps the rest",
         wrap("<batch time=\"0.0\" " + set + "><event path=\"/a\" type=\"int32\"> 7</event><event path=\"/b\" type=\"int32\">7</event></batch>"),
         "Warning: failed to do type conversion\n", 0, 1},
        {"self-closing int event", wrap("<batch time=\"0.0\" " + set + "><event path=\"/a\" type=\"int32\"/></batch>"),
         "Warning: failed to do type conversion\n", 0, 0},
        {"self-closing string event", wrap("<batch time=\"0.0\" " + set + "><event path=\"/a\" type=\"string\"/></batch>"), "", 0, 1},
        {"repeated attribute", wrap("<batch time=\"0.0\" time=\"1.0\" " + add + "><event path=\"/a\"/></batch>"),
         "XML_ParseBuffer() failed\n", -1, 0},
        {"unsupported attributes",
         wrap("<start time=\"1.0\" zone=\"utc\"/><batch color=\"red\" time=\"0.0\" " + add + "><event id=\"1\" path=\"/a\"/></batch>"),
         "Warning: unsupported attribute zone on <start> tag\nWarning: unsupported attribute color on <batch> tag\n"
         "Warning: unsupported attribute id on <event> tag\n",
         0, 1},
        {"type outside set-leaf", wrap("<batch time=\"0.0\" " + add + "><event path=\"/a\" type=\"uint32\"/><event path=\"/b\" type=\"nosuch\"/></batch>"),
         "Warning: ignoring type\n", 0, 1},
        {"unknown elements", "<log><note>hi</note><batch time=\"0.0\" " + add + "><x/><event path=\"/a\"/></batch></log>",
         "Unrecognized tag 'log'\nUnrecognized tag 'note'\nUnrecognized tag 'x'\n", 0, 1},
        {"bad start time", wrap("<start time=\"abc\"/>"), "Invalid time: abc\n" + stamp_fail, -1, 0},
        {"start time out of range", wrap("<start time=\"5.1000000000\"/>"), stamp_fail, -1, 0},
        {"bad event time goes on", wrap("<batch time=\"0.0\" " + add + "><event path=\"/a\" time=\"7\"/></batch>"), "Invalid time: 7\n", 0, 1},
        {"undefined entity", wrap("<batch time=\"0.0\" " + add + "><event path=\"/a&nosuch;\"/></batch>"), "XML_ParseBuffer() failed\n", -1, 0},
        {"control character", wrap("<batch time=\"0.0\" " + add + "><event path=\"/a\x01\"/></batch>"), "XML_ParseBuffer() failed\n", -1, 0},
        {"not utf-8", wrap("<batch time=\"0.0\" " + add + "><event path=\"/a\xff\"/></batch>"), "XML_ParseBuffer() failed\n", -1, 0},
    };
    for (const row& r : rows) {
        reset_state();
        outcome o = read_log(r.log);
        EXPECT_EQ(o.err, r.err) << r.name;
        EXPECT_EQ(o.rc, r.rc) << r.name;
        EXPECT_EQ(o.out, "Parsing XML...\n") << r.name;
        EXPECT_EQ(program_state.batches.size(), r.batches) << r.name;
        EXPECT_EQ(program_state.parser, nullptr) << r.name;
    }
}

// Time text -> batch time as read; the digits after the point are a count.
TEST_F(Reader, BatchTimeQuirks) {
    struct row {
        const char* text;
        long sec, nsec;
    };
    const row rows[] = {{"1.5", 1, 5},           {"1. 5", 1, 5},         {"2.500000000", 2, 500000000},
                        {" 3.+7", 3, 7},          {"4.999999999", 4, 999999999}, {"6.25 trailing", 6, 25}};
    for (const row& r : rows) {
        reset_state();
        outcome o = read_log(wrap(std::string("<batch time=\"") + r.text + "\" action=\"CMD_CLEAR_LEAF\"><event path=\"/l\"/></batch>"));
        ASSERT_EQ(o.rc, 0) << r.text << ": " << o.err;
        ASSERT_EQ(program_state.batches.size(), 1u) << r.text;
        EXPECT_EQ(program_state.batches[0].time.tv_sec, r.sec) << r.text;
        EXPECT_EQ(program_state.batches[0].time.tv_nsec, r.nsec) << r.text;
        EXPECT_EQ(program_state.batches[0].cmd, CMD_CLEAR_LEAF);
    }
}

TEST_F(Reader, EventTimesAreNotRangeChecked) {
    outcome o = read_log(wrap("<batch time=\"0.0\" action=\"CMD_ADD_NODE\">"
                              "<event path=\"/a\" time=\"5.1234567\"/><event path=\"/b\" time=\"5\"/><event path=\"/c\"/>"
                              "</batch>"));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Invalid time: 5\n");
    ASSERT_EQ(program_state.batches.size(), 1u);
    const auto& ev = program_state.batches[0].events;
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].value.timestamp().tv_sec, 5);
    EXPECT_EQ(ev[0].value.timestamp().tv_usec, 1234567);
    for (int i : {1, 2}) {
        EXPECT_EQ(ev[i].value.timestamp().tv_sec, -1) << i;
        EXPECT_EQ(ev[i].value.timestamp().tv_usec, 0) << i;
    }
}

TEST_F(Reader, ValueTextIsCollectedWhole) {
    outcome o = read_log(wrap(
        "<batch time=\"0.0\" action=\"CMD_SET_LEAF\">\n"
        "<event path=\"/a&amp;b&#x2F;&lt;c&gt;\" type=\"string\">&lt;&#65;<![CDATA[<&>]]>&quot;&apos;</event>\n"
        "<event path=\"/n\" type=\"string\">  left<em>mid</em>right\n\t </event>\n"
        "<event path=\"/i\" time=\"2.000001\" type=\"int64\">\n-9</event>\n"
        "<event path=\"/u\" type=\"uint64\">1<b/>8</event>\n"
        "</batch>"));
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Unrecognized tag 'em'\nWarning: failed to do type conversion\nUnrecognized tag 'b'\n");
    ASSERT_EQ(program_state.batches.size(), 1u);
    const auto& ev = program_state.batches[0].events;
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].path, "/a&b/<c>");
    EXPECT_EQ(ev[0].value.get_bytes(), "<A<&>\"'");
    EXPECT_EQ(ev[1].value.get_bytes(), "  leftmidright\n\t ");
    EXPECT_EQ(ev[2].path, "/u");
    EXPECT_EQ(ev[2].value.type(), DATATYPE_UINT64);
    EXPECT_EQ(ev[2].value.get_uint64(), 18u);
}

TEST_F(Reader, ExternalEntitiesAreNotLoaded) {
    harness::temp_dir dir;
    harness::write_file(dir.file("secret"), "SECRET");
    outcome o = read_log(decl + "<!DOCTYPE dump [<!ENTITY ext SYSTEM \"" + dir.file("secret") +
                         "\">]>\n<dump><batch time=\"0.0\" action=\"CMD_SET_LEAF\">"
                         "<event path=\"/a\" type=\"string\">x&ext;y</event></batch></dump>");
    ASSERT_EQ(o.rc, 0) << o.err;
    ASSERT_EQ(program_state.batches.size(), 1u);
    EXPECT_EQ(program_state.batches[0].events[0].value.get_bytes(), "xy");
}

TEST_F(Reader, LaterStartReplacesEarlierAndBatchesKeepFileOrder) {
    outcome o = read_log(wrap("<start time=\"10.5\"/><batch time=\"9.0\" action=\"CMD_ADD_NODE\"><event path=\"/late\"/></batch>"
                              "<start time=\"20.7\"/><batch time=\"1.0\" action=\"CMD_ADD_NODE\"><event path=\"/early\"/></batch>"));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(program_state.start_time.tv_sec, 20);
    EXPECT_EQ(program_state.start_time.tv_nsec, 7);
    ASSERT_EQ(program_state.batches.size(), 2u);
    EXPECT_EQ(program_state.batches[0].events[0].path, "/late");
    EXPECT_EQ(program_state.batches[1].events[0].path, "/early");
}

// Logs around the reader's 8192-byte piece size, the last event at the very end.
TEST_F(Reader, LogsAtPieceBoundaries) {
    for (size_t size : {8191u, 8192u, 8193u, 16384u, 20000u}) {
        reset_state();
        const std::string head = decl + "<dump>\n<batch time=\"0.0\" action=\"CMD_ADD_NODE\"><event path=\"/first\"/></batch>\n";
        const std::string tail = "<batch time=\"1.0\" action=\"CMD_ADD_NODE\"><event path=\"/last\"/></batch></dump>";
        std::string log = head + std::string(size - head.size() - tail.size(), ' ') + tail;
        ASSERT_EQ(log.size(), size);
        outcome o = read_log(log);
        EXPECT_EQ(o.rc, 0) << size;
        EXPECT_EQ(o.err, "") << size;
        ASSERT_EQ(program_state.batches.size(), 2u) << size;
        EXPECT_EQ(program_state.batches[1].events[0].path, "/last") << size;
    }
}

// ---- Batch application and the replay loop, without store requests ----------

event_batch_t batch_of(api_cmd_t cmd, std::initializer_list<const char*> paths) {
    event_batch_t b;
    b.cmd = cmd;
    for (const char* p : paths) {
        event_instance_t ev;
        ev.path = p;
        b.events.push_back(std::move(ev));
    }
    return b;
}

using Replay = Reader;

TEST_F(Replay, RefusedEventsAreErasedWithoutAStoreCall) {
    struct row {
        const char* name;
        void (*configure)();
        api_cmd_t cmd;
    };
    const row rows[] = {
        {"include attr", [] { program_state.include_attrs.insert("mtu"); }, CMD_SET_LEAF},
        {"exclude attr", [] { program_state.exclude_attrs.insert("speed"); }, CMD_CLEAR_LEAF},
        {"include path", [] { program_state.include_paths.push_back("/other"); }, CMD_ADD_NODE},
        {"exclude path", [] { program_state.exclude_paths.push_back("/x"); }, CMD_REMOVE_NODE},
    };
    for (const row& r : rows) {
        reset_state();
        r.configure();
        event_batch_t b = batch_of(r.cmd, {"/x/speed", "/x/y/speed", "/x/speed"});
        testing::internal::CaptureStderr();
        int rc = process_batch(b);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << r.name;
        EXPECT_EQ(rc, 0) << r.name;
        EXPECT_TRUE(b.events.empty()) << r.name;
    }
}

TEST_F(Replay, NoBatches) {
    const bool saved = toolkit::CElement::_forced_auto_time;
    testing::internal::CaptureStdout();
    int rc = process_event_batches();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sorting list of 0 event batches...\nReplaying events:\n\nDone.\n");
    EXPECT_EQ(rc, 0);
    toolkit::CElement::_forced_auto_time = saved;
}

}  // namespace
