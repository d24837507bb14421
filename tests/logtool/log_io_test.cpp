// Times on rorezuredi-log's command line: both forms, and what is refused.
#include <gtest/gtest.h>

#include <string>

#include "log_io.h"

namespace {

using logtool::nanos;

TEST(TimeArgs, ReadSecondsAndIsoTimesToTheNanosecond) {
    struct row {
        const char* text;
        bool absolute;
        long long sec, nsec;
    };
    const row rows[] = {
        {"12.5", false, 12, 500000000},
        {"0", false, 0, 0},
        {".25", false, 0, 250000000},
        {"-3.000000001", false, -3, -1},
        {"7.1234567891", false, 7, 123456789},  // digits past the ninth are cut off
        {"2026-12-06T19:04:13.5Z", true, 1796583853, 500000000},
        {"1970-01-01T00:00:00Z", true, 0, 0},
    };
    for (const row& r : rows) {
        logtool::time_arg t;
        std::string error;
        ASSERT_TRUE(logtool::parse_time_arg(r.text, t, error)) << r.text;
        EXPECT_EQ(t.absolute, r.absolute) << r.text;
        EXPECT_TRUE(t.value == nanos(r.sec) * 1000000000 + r.nsec) << r.text;
    }
    for (const char* bad : {"", ".", "1e3", "12s", "2026-12-06 19:04:13Z", "2026-12-06T19:04:13",
                            "2026-13-01T00:00:00Z", "1.5.2"}) {
        logtool::time_arg t;
        std::string error;
        EXPECT_FALSE(logtool::parse_time_arg(bad, t, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(TimeArgs, FormatsReadBackExactly) {
    for (const nanos ns :
         {nanos(0), nanos(1), nanos(999999999), nanos(1796583853500000000LL), nanos(-1500000000)}) {
        nanos back = 0;
        ASSERT_TRUE(logtool::parse_seconds(logtool::format_seconds(ns), back));
        EXPECT_TRUE(back == ns);
    }
    EXPECT_EQ(logtool::format_iso(nanos(1796583853500000000LL)), "2026-12-06T19:04:13.5Z");
    logtool::time_arg t;
    std::string error;
    ASSERT_TRUE(logtool::parse_time_arg(logtool::format_iso(nanos(1700000000005000123LL)), t, error));
    EXPECT_TRUE(t.value == nanos(1700000000005000123LL));
}

}  // namespace
