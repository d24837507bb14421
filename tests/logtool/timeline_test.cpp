// timeline: its rows hold every event once and their batch ranges follow on
// from each other; the charts are written; what it refuses.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "harness.h"
#include "log_maker.h"

namespace {

TEST(Timeline, RowsHoldEveryEventAndFollowOnInBatchIndexes) {
    harness::temp_dir dir;
    const std::string log = dir.file("a.xml");
    make_log(log, {.seed = 9, .batches = 300});
    long long events = 0;
    for (const batch_seen& b : read_back(log).batches) events += (long long)b.events;
    for (const char* bin : {"", "0.37", "1000"}) {
        harness::strings argv = {ROREZUREDI_LOG_BIN, "timeline", log};
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
        EXPECT_EQ(next, 300) << bin;
        EXPECT_EQ(sum, events) << bin;
        EXPECT_TRUE(*bin != '\0' || (rows >= 15 && rows <= 50)) << r.out;
    }
    const harness::result r = harness::run(
        {ROREZUREDI_LOG_BIN, "timeline", "--svg", dir.file("a.svg"), "--png", dir.file("a.png"), log});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::read_file(dir.file("a.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_NE(harness::read_file(dir.file("a.svg")).find("<svg"), std::string::npos);
}

}  // namespace
