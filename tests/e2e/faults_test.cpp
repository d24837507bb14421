// Faults around rorezuredi: the store dying under a large request, bursts of
// termination signals during a capture under heavy traffic.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "harness.h"

namespace {

using namespace harness;
using std::string;

TEST(StoreDies, InTheMiddleOfALargeRequest) {
    // The store goes while a request of tens of megabytes is on its way or
    // being answered: the request fails like any other, the tool is not
    // killed by the broken connection.
    private_store store;
    temp_dir dir;
    const string path = dir.file("log.xml");
    {
        std::ofstream f(path, std::ios::binary);
        f << "<dump><batch time=\"0.0\" action=\"CMD_SET_LEAF\"><event path=\"/big\" type=\"string\">";
        const string piece(1 << 20, 'b');
        for (int i = 0; i < 48; ++i) f << piece;
        f << "</event></batch></dump>\n";
    }
    process tool({ROREZUREDI_BIN, "-l", path}, {.env = {store.env()}});
    ASSERT_TRUE(
        wait_until([&] { return tool.out().find("Replaying events:") != string::npos || !tool.running(); }));
    store.kill();
    EXPECT_EQ(tool.wait(), 255) << tool.err();
}

TEST(CaptureSignals, BurstsUnderHeavyTrafficAlwaysLeaveAWholeLog) {
    private_store source;
    private_store target;
    temp_dir dir;
    // Every kind of batch; no line can fail however often it is repeated.
    string requests;
    for (int i = 0; i < 40; ++i) {
        string n = "/w/" + std::to_string(i % 8);
        requests += "add " + n + "/a " + n + "/b\n";
        requests += "set " + n + "/a/x int32 " + std::to_string(i) + " " + n + "/s string 'v &<\"> " +
                    std::to_string(i) + "'\n";
        requests += "set /w/l" + std::to_string(i % 5) + " double 1.5\n";
        requests += "clear " + n + "/a/x\n";
        requests += "remove " + n + "/b\n";
    }
    write_file(dir.file("requests"), requests);
    process writer(
        {"/bin/sh", "-c", "while \"$0\" batch \"$1\"; do :; done; exit 1", VELTCTL_BIN, dir.file("requests")},
        {.env = {source.env()}});
    // The shell and the veltctl it runs go together, whatever ends the test.
    struct group_guard {
        pid_t pgid;
        ~group_guard() { ::kill(-pgid, SIGKILL); }
    } writer_group{writer.pid()};

    std::mt19937 rng(20240601);
    const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int runs = 0, with_batches = 0;
    for (; runs < 30 && std::chrono::steady_clock::now() < deadline; ++runs) {
        SCOPED_TRACE("run " + std::to_string(runs));
        ASSERT_TRUE(writer.running()) << writer.err();
        capture cap(source);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        // Let the capture take a random share of traffic, then hit it with a
        // burst of random termination signals at a random moment.
        const int batches_wanted = int(rng() % 40);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
        wait_until([&] { return source.status_value("pending") > 0 || batches_wanted == 0; }, 2000, 1);
        const int burst = 1 + int(rng() % 12);
        for (int i = 0; i < burst; ++i) {
            cap.proc().signal(signals[rng() % 4]);
            if (rng() % 2) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
        }
        EXPECT_EQ(cap.proc().wait(10000), 0);
        EXPECT_EQ(cap.proc().err(), "");

        // A whole log that replays: well formed, every batch with its time
        // and a known action.
        const string log = cap.log();
        const result r = replay(target, log);
        EXPECT_EQ(r.status, 0) << r.err << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
        EXPECT_EQ(r.err, "");
        if (log.find("<batch ") != string::npos) ++with_batches;
        if (HasFailure()) break;
    }
    EXPECT_GE(runs, 10);
    // The bursts came at moments of traffic, not only before it.
    EXPECT_GT(with_batches, runs / 2);
}

}  // namespace
