// timeline: its rows hold every event once and their batch ranges follow on
// from each other; the charts are written.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "harness.h"

namespace {

// `n` batches at irregular, increasing times with a long pause in the middle.
std::string ordered_log(int n, long long& events) {
    std::string batches;
    long long t = 0;
    events = 0;
    const char* actions[] = {"CMD_ADD_NODE", "CMD_REMOVE_NODE", "CMD_CLEAR_LEAF"};
    for (int i = 0; i < n; ++i) {
        t += (i * 7919 % 13) * 37000000LL + (i == n / 2 ? 9000000000LL : 0);
        char time[32];
        std::snprintf(time, sizeof time, "%lld.%09lld", t / 1000000000, t % 1000000000);
        std::string body;
        for (int e = 0; e <= i % 4; ++e, ++events) body += harness::log_event("/n/" + std::to_string(i));
        batches += harness::log_batch(time, actions[i % 3], body);
    }
    return harness::log_document(batches);
}

TEST(Timeline, RowsHoldEveryEventAndFollowOnInBatchIndexes) {
    harness::temp_dir dir;
    long long events = 0;
    const int batches = 300;
    harness::write_file(dir.file("a.xml"), ordered_log(batches, events));
    for (const char* bin : {"", "0.37", "1000"}) {
        harness::strings argv = {ROREZUREDI_LOG_BIN, "timeline", dir.file("a.xml")};
        if (*bin != '\0') argv.insert(argv.end() - 1, {"--bin", bin});
        const harness::result r = harness::run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
        long long sum = 0, next = 0, rows = 0;
        for (const std::string& line : harness::lines_of(r.out)) {
            std::istringstream in(line);
            double start = 0;
            long long a = 0, b = 0, count = -1;
            char colon = 0;
            if (!(in >> start >> a >> colon >> b >> count) || colon != ':') continue;
            EXPECT_EQ(a, next) << line;
            EXPECT_LE(a, b) << line;
            EXPECT_EQ(count == 0, a == b) << line;
            next = b;
            sum += count;
            ++rows;
        }
        EXPECT_EQ(next, batches) << bin;
        EXPECT_EQ(sum, events) << bin;
        if (*bin == '\0') {
            EXPECT_GE(rows, 15) << r.out;
            EXPECT_LE(rows, 50) << r.out;
        }
    }
}

TEST(Timeline, DrawsChartsAndRefusesWhatItCannotDo) {
    harness::temp_dir dir;
    long long events = 0;
    const std::string log = ordered_log(40, events);
    harness::write_file(dir.file("a.xml"), log);
    harness::write_file(dir.file("cut.xml"), log.substr(0, log.size() - 20));
    const harness::result r = harness::run({ROREZUREDI_LOG_BIN, "timeline", "--svg", dir.file("a.svg"),
                                            "--png", dir.file("a.png"), dir.file("a.xml")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::read_file(dir.file("a.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_NE(harness::read_file(dir.file("a.svg")).find("<svg"), std::string::npos);
    EXPECT_EQ(harness::run({ROREZUREDI_LOG_BIN, "timeline", dir.file("cut.xml")}).status, 1);
    EXPECT_EQ(harness::run({ROREZUREDI_LOG_BIN, "timeline", "--bin", "0.000001", dir.file("a.xml")}).status,
              2);
    EXPECT_EQ(harness::run({ROREZUREDI_LOG_BIN, "timeline", "--bin", "0", dir.file("a.xml")}).status, 2);
}

}  // namespace
