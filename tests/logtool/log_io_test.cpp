// Times on rorezuredi-log's command line: both forms to the nanosecond, read
// back from what the tool writes, and what is refused.
#include <gtest/gtest.h>

#include <string>

#include "log_io.h"

namespace {

using logtool::nanos;

TEST(TimeArgs, ReadSecondsAndIsoTimesToTheNanosecondAndReadBackWhatIsWritten) {
    const struct {
        const char* text;
        bool absolute;
        long long ns;
    } rows[] = {
        {"12.5", false, 12500000000LL},
        {".25", false, 250000000},
        {"-3.000000001", false, -3000000001LL},
        {"-.5", false, -500000000},
        {"7.1234567891", false, 7123456789LL},  // digits past the ninth are cut off
        {"2026-12-06T19:04:13.5Z", true, 1796583853500000000LL},
        {"2023-11-14T22:13:20.005000123Z", true, 1700000000005000123LL},
        {"1970-01-01T00:00:00Z", true, 0},
    };
    for (const auto& r : rows) {
        logtool::time_arg t;
        std::string error;
        ASSERT_TRUE(logtool::parse_time_arg(r.text, t, error)) << r.text;
        EXPECT_EQ(t.absolute, r.absolute) << r.text;
        EXPECT_TRUE(t.value == r.ns) << r.text;
        nanos back = 0;
        EXPECT_TRUE(r.absolute
                        ? logtool::format_iso(t.value) == r.text
                        : logtool::parse_seconds(logtool::format_seconds(t.value), back) && back == r.ns)
            << r.text;
    }
    for (const char* bad : {"", ".", "1e3", "12s", "2026-12-06 19:04:13Z", "2026-12-06T19:04:13",
                            "2026-13-01T00:00:00Z", "1.5.2"}) {
        logtool::time_arg t;
        std::string error;
        EXPECT_FALSE(logtool::parse_time_arg(bad, t, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
