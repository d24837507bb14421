// The log reader fed in process: every log -> result, messages, batches kept.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"
#include "memory_log.h"

namespace {

using namespace harness;
using std::string;

struct outcome {
    int rc;
    string out, err;
};

outcome read_log(string text) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rc = read_memory_log(text.data(), text.size());
    string out = testing::internal::GetCapturedStdout();
    return {rc, out, testing::internal::GetCapturedStderr()};
}

string repeat(const string& s, int n) {
    string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

// The first kept event: its path, and for a leaf "=" and its value's text.
string first_event() {
    if (program_state.batches.empty()) return "";
    const event_batch_t& b = program_state.batches[0];
    const event_instance_t& ev = b.events.at(0);
    return ev.path + (b.cmd == CMD_SET_LEAF ? "=" + ev.value.to_string() : "");
}

// A row's log is a file of the fuzz corpus when it names one, else the text itself.
TEST(Reader, LogsAndWhatTheyLeave) {
    const string here = __FILE__,
                 corpus = here.substr(0, here.rfind('/')) + "/../../fuzz/corpus/fuzz_log_reader/";
    const string failed = "XML_ParseBuffer() failed\n", stamp = "Error: bad/missing batch timestamp";
    const string convert = "Warning: failed to do type conversion\n";
    auto attr = [](const string& name, const string& tag) {
        return "Warning: unsupported attribute " + name + " on <" + tag + "> tag\n";
    };
    auto doc = [](const string& body) { return string(log_decl) + "<dump>" + body + "</dump>"; };
    auto set = [&](const string& events) {
        return doc("<batch time=\"0.0\" action=\"CMD_SET_LEAF\">" + events + "</batch>");
    };
    const string nest = repeat("<x>", 100000), unnest = repeat("</x>", 100000);
    // Around the reader's 8192-byte piece size, the last event at the very end.
    auto sized = [&](size_t n) {
        const string head =
            string(log_decl) + "<dump>\n" + log_batch("0.0", "CMD_ADD_NODE", log_event("/first"));
        const string tail = log_batch("1.0", "CMD_ADD_NODE", log_event("/last")) + "</dump>";
        return head + string(n - head.size() - tail.size(), ' ') + tail;
    };
    string laughs = "<!DOCTYPE dump [<!ENTITY l0 \"/lol\">";
    for (int i = 1; i <= 10; ++i)
        laughs +=
            "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
    const string big = "<!DOCTYPE dump [<!ENTITY big \"" + string(100000, 'q') + "\">]>";
    struct row {
        string log;
        int rc;
        size_t batches;
        string err, first;  // first: first_event() of the batches kept
    };
    const std::vector<row> rows = {
        {"example.xml", 0, 3, "", "/a/b"},
        {"all_types.xml", 0, 1, "", "/t/0=true"},
        {"no_declaration.xml", 0, 1, "", "/x/y"},
        {"latin1.xml", 0, 1, "", "/\xc3\xa9=\xc3\xbf"},
        {"utf16.xml", 0, 1, "", "/\xe2\x98\xba"},
        {"entities_small.xml", 0, 1, "", repeat("/x", 9)},
        {"multiline_value.xml", 0, 1, "", "/a=\n\t\t\tline\n\t\t"},
        {"paths_odd.xml", 0, 1, "", "noslash=1"},
        {"sorted_backwards.xml", 0, 3, "", "/z"},
        {"empty_dump.xml", 0, 0, "", ""},
        // Nothing but the log is read: an external entity reads as nothing.
        {"external_entity.xml", 0, 1, "", "/a="},
        {"unknown_inside_event.xml", 0, 1, "Unrecognized tag 'b'\nUnrecognized tag 'other'\n",
         "/s=ac<&>\xe2\x98\xba"},
        {"unexpected_ends.xml", 0, 0, "Unrecognized tag 'q'\nUnrecognized tag 'x'\n", ""},
        {"time_forms.xml", 0, 3, "Invalid time: x\n", "/a"},
        {"type_on_node.xml", 0, 1, attr("extra", "event") + "Warning: ignoring type\n", "/a"},
        {"self_closing_leaf.xml", 0, 1, convert, "/a="},
        {"failed_conversion.xml", 0, 0, convert + convert + convert, ""},
        {set("<event path=\"/a\" type=\"int32\">7x</event><event path=\"/b\" type=\"int32\">7</event>"), 0, 1,
         convert, "/b=7"},
        {doc("<batch time=\"0.0\" action=\"CMD_ADD_NODE\"></batch>"), 0, 0, "", ""},
        {"<log><start time=\"1.0\" z=\"\"/><batch c=\"\" time=\"0.0\" action=\"CMD_ADD_NODE\"><event "
         "path=\"/a\"/></batch></log>",
         0, 1, "Unrecognized tag 'log'\n" + attr("z", "start") + attr("c", "batch"), "/a"},
        {sized(8191), 0, 2, "", "/first"},
        {sized(8192), 0, 2, "", "/first"},
        {sized(8193), 0, 2, "", "/first"},
        {set("<event path=\"/d\" type=\"string\">a" + nest + "b" + unnest + "c</event>"), 0, 1,
         repeat("Unrecognized tag 'x'\n", 100000), "/d=abc"},
        // Refused logs.
        {"", -1, 0, failed, ""},
        {"cut_off.xml", -1, 1, failed, "/a/b"},
        {"batch_open_event.xml", -1, 0, failed, ""},
        {"invalid_utf8.xml", -1, 0, failed, ""},
        {"nul_byte.xml", -1, 0, failed, ""},
        {"repeated_attribute.xml", -1, 0, failed, ""},
        {"bad_batch_times.xml", -1, 0, stamp + failed, ""},
        {"bad_start.xml", -1, 0, stamp + failed, ""},
        {"bad_time_no_action.xml", -1, 0,
         "Invalid time: 1\n" + stamp + "Error: bad/missing batch action" + failed, ""},
        {"lower_case_action.xml", -1, 0, "Error: bad/missing batch action" + failed, ""},
        {"event_outside_batch.xml", -1, 0, "Error: event outside of batch\n" + failed, ""},
        {doc("<event/>"), -1, 0, "Error: event outside of batch\nError: event without path\n" + failed, ""},
        {"nested_events.xml", -1, 0, "Error: nested events\n" + failed, ""},
        {doc("<batch time=\"0.0\" action=\"CMD_ADD_NODE\"><batch/></batch>"), -1, 0,
         "Error: nested batch\n" + stamp + "Error: bad/missing batch action" + failed, ""},
        {"leaf_without_type.xml", -1, 0, "Error: SET_LEAF with bad/no type\n" + failed, ""},
        {set("<event path=\"\" type=\"Int32\"/>"), -1, 0,
         "Error: event without path\nError: SET_LEAF with bad/no type\n" + failed, ""},
        // Entity expansion is refused, nested or quadratic.
        {laughs + "]>" + set("<event path=\"/v\" type=\"string\">&l10;</event>"), -1, 0, failed, ""},
        {big + set("<event path=\"/v\" type=\"string\">" + repeat("&big;", 50000) + "</event>"), -1, 0,
         failed, ""},
    };
    for (const row& r : rows) {
        const bool file = r.log.size() < 40 && r.log.ends_with(".xml");
        SCOPED_TRACE(file ? r.log : r.log.substr(0, 200));
        const outcome o = read_log(file ? read_file(corpus + r.log) : r.log);
        EXPECT_EQ(std::tuple(o.rc, program_state.batches.size(), first_event()),
                  std::tuple(r.rc, r.batches, r.first));
        EXPECT_EQ(o.err.substr(0, 1000), r.err.substr(0, 1000));
        EXPECT_EQ(o.err.size(), r.err.size());
        EXPECT_EQ(o.out, "Parsing XML...\n");
        EXPECT_EQ(program_state.parser, nullptr);
    }
}

// Every time text reads as sscanf's "%ld.%ld" reads it (signs, white space,
// overflow, garbage); the digits after the point are a count. Batch and
// start times must be in range; an event time need not be, and one that
// does not read has seconds -1.
TEST(Reader, TimesReadLikeTheLibraryConversion) {
    std::vector<string> texts;  // split at '|'
    const string all =
        "1.5|12.000034|2.500000000|4.999999999|4.1000000000|+1.+2|1.-2|-1.5|&#9;&#10;&#13;3.4|1. 5|1 "
        ".5|1.|.5||"
        "1.5x|0x10.5|9223372036854775807.999999999|9223372036854775808.1|1.99999999999999999999999|"
        "0000000000000000000000007.0000000000000000000000008";
    for (size_t at = 0, bar = 0; bar != string::npos; at = bar + 1)
        texts.push_back(all.substr(at, (bar = all.find('|', at)) - at));
    auto doc = [](const string& start, const string& batch, const string& event) {
        return "<dump><start time=\"1.0\"/><start time=\"" + start + "\"/><batch time=\"" + batch +
               "\" action=\"CMD_ADD_NODE\"><event path=\"/a\" time=\"" + event + "\"/></batch></dump>";
    };
    for (const string& text : texts) {
        SCOPED_TRACE("time \"" + text + "\"");
        // The attribute value as the parser hands it over: references decoded.
        string value = text;
        for (const auto& [ref, c] :
             {std::pair<string, string>{"&#9;", "\t"}, {"&#10;", "\n"}, {"&#13;", "\r"}})
            for (size_t pos = 0; (pos = value.find(ref)) != string::npos;) value.replace(pos, ref.size(), c);
        long sec = 0, frac = 0;
        const bool readable = std::sscanf(value.c_str(), "%ld.%ld", &sec, &frac) == 2;
        const bool in_range = readable && sec >= 0 && frac >= 0 && frac <= 999999999;
        const string invalid = readable ? "" : "Invalid time: " + value + "\n";
        for (const int at : {0, 1, 2}) {  // as the start, the batch's, the event's time
            const outcome o =
                read_log(doc(at == 0 ? text : "2.0", at == 1 ? text : "0.0", at == 2 ? text : "1.0"));
            if (at < 2 && !in_range) {
                EXPECT_EQ(
                    std::tuple(o.rc, o.err),
                    std::tuple(-1, invalid + "Error: bad/missing batch timestampXML_ParseBuffer() failed\n"));
                continue;
            }
            ASSERT_EQ(std::tuple(o.rc, o.err), std::tuple(0, invalid));
            const timespec& t = at == 0 ? program_state.start_time : program_state.batches.at(0).time;
            const timeval& tv = program_state.batches.at(0).events.at(0).value.timestamp();
            const std::pair<long, long> got =
                at == 2 ? std::pair(tv.tv_sec, tv.tv_usec) : std::pair(t.tv_sec, t.tv_nsec);
            EXPECT_EQ(got, readable ? std::pair(sec, frac) : std::pair(-1L, 0L));
        }
    }
}

}  // namespace
