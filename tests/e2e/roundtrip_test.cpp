// Round trip: whatever a store went through while it was captured, replaying
// the log into a fresh store gives the same tree; with -t the same leaf
// timestamps too. The workload is random but seeded, and holds every type,
// texts with XML-reserved characters, tabs, line feeds, carriage returns and
// non-ASCII text, removals of whole subtrees and requests the store refuses.
#include <gtest/gtest.h>
#include <velt++.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "workload.h"

namespace {

using harness::strings;
using harness::workload;

TEST(RoundTrip, ReplayRebuildsTheCapturedTree) {
    for (const unsigned seed : {20261206u, 1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        harness::private_store source;
        harness::capture cap(source);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        source.use_in_process();
        toolkit::CVelt api;
        api.handle = vlt_init();
        ASSERT_NE(api.handle, 0u);
        workload w{std::mt19937_64(seed)};
        for (int i = 0; i < 400; ++i) w.step(api);
        ASSERT_EQ(cap.stop(SIGINT), 0) << cap.proc().err();
        EXPECT_EQ(cap.proc().err(), "");
        EXPECT_GT(source.status_value("leaves"), 20) << "the workload should leave a sizeable tree";
        // Without -t the store stamps the leaves anew: the data is equal, the
        // times are not. With -t the leaves keep the source store's times.
        for (const bool keep_times : {false, true}) {
            harness::private_store target;
            const harness::result res =
                harness::replay(target, cap.log(), keep_times ? strings{"-t"} : strings{});
            ASSERT_EQ(res.status, 0) << res.err;
            EXPECT_EQ(res.err, "");
            EXPECT_EQ(target.dump(keep_times), source.dump(keep_times));
        }
    }
}

}  // namespace
