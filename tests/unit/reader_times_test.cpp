// The reader's times against the library's own "%ld.%ld" conversion: every
// text reads as sscanf would read it (signs, white space, overflow, garbage).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "rorezuredi.h"

namespace {

void reset() {
    ProgramState& ps = program_state;
    ps.parser = nullptr;
    ps.char_data.clear();
    ps.batch_in_progress = false;
    ps.event_in_progress = false;
    ps.current_batch = event_batch_t();
    ps.start_time = timespec{0, 0};
    ps.batches.clear();
}

// Parses `log`; returns the reader's result, with its standard error in err.
int read(std::string log, std::string& err) {
    reset();
    FILE* f = fmemopen(log.data(), log.size(), "r");
    if (f == nullptr) return -99;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rc = parse_xml_file(f);
    testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return rc;
}

std::string doc(const std::string& batch_time, const std::string& event_time) {
    return "<dump><batch time=\"" + batch_time + "\" action=\"CMD_ADD_NODE\"><event path=\"/a\" time=\"" +
           event_time + "\"/></batch></dump>";
}

// Attribute values as the parser hands them over: character references
// decoded (so that tab and line feed survive attribute normalisation).
std::string decoded(const std::string& text) {
    std::string out = text;
    for (const auto& [ref, c] : {std::pair<std::string, std::string>{"&#9;", "\t"}, {"&#10;", "\n"}, {"&#13;", "\r"}}) {
        for (size_t pos; (pos = out.find(ref)) != std::string::npos;) out.replace(pos, ref.size(), c);
    }
    return out;
}

TEST(ReaderTimes, ReadLikeTheLibraryConversion) {
    const char* const texts[] = {
        "1.5",         "0.0",         "12.000034",    "+1.+2",       "1.-2",        "-1.5",
        " 1.5",        "&#9;&#10;&#13;3.4", "1. 5",   "1.&#9;5",     "1 .5",        "1.",
        "1",           ".5",          "",             "-",           "+.5",         "1.-",
        "1.+",         "1.5x",        "1.5.6",        "x1.5",        "0x10.5",      "1e5.2",
        "9223372036854775807.999999999",              "9223372036854775808.1",      "-9223372036854775808.0",
        "-9223372036854775809.0",     "1.99999999999999999999999",  "1.-99999999999999999999999",
        "00000000000000000000000000000007.000000000000000000000000000000008",   "4.999999999", "4.1000000000",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(std::string("time \"") + text + "\"");
        const std::string value = decoded(text);
        long sec = 0, frac = 0;
        const int n = std::sscanf(value.c_str(), "%ld.%ld", &sec, &frac);
        const bool readable = n == 2;
        const bool batch_ok = readable && sec >= 0 && frac >= 0 && frac <= 999999999;

        // As a batch time: kept exactly, or the read fails.
        std::string err;
        const int rc = read(doc(text, "1.0"), err);
        if (batch_ok) {
            ASSERT_EQ(rc, 0) << err;
            ASSERT_EQ(program_state.batches.size(), 1u);
            EXPECT_EQ(program_state.batches[0].time.tv_sec, sec);
            EXPECT_EQ(program_state.batches[0].time.tv_nsec, frac);
        } else {
            EXPECT_EQ(rc, -1);
            const std::string invalid = readable ? "" : "Invalid time: " + value + "\n";
            EXPECT_EQ(err, invalid + "Error: bad/missing batch timestampXML_ParseBuffer() failed\n");
        }

        // As an event time: no range test; unreadable gives seconds -1.
        ASSERT_EQ(read(doc("0.0", text), err), 0) << err;
        ASSERT_EQ(program_state.batches.size(), 1u);
        const timeval& tv = program_state.batches[0].events.at(0).value.timestamp();
        EXPECT_EQ(tv.tv_sec, readable ? sec : -1);
        EXPECT_EQ(tv.tv_usec, readable ? frac : 0);
        EXPECT_EQ(err, readable ? "" : "Invalid time: " + value + "\n");
    }
    reset();
}

}  // namespace
