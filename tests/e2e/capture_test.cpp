// Capture against a private store: the written document, batch times,
// filtering and the batch's command, stopping by signal, and failures of the
// subscription, of a fetch, of a write and of the store itself.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;
using std::string;

const string empty_log = string(log_decl) + "<dump>\n</dump>\n";

// The log with capture's clock readings, each in its exact written form,
// replaced: the start by the time log_document writes, event times dropped,
// batch times after the first by T. Batch times must never go down.
string normal(const string& log) {
    std::vector<std::pair<long, long>> times;
    const std::regex batch_time(R"re(<batch time="([0-9]+)\.([0-9]{9})")re");
    for (std::sregex_iterator it(log.begin(), log.end(), batch_time), end; it != end; ++it)
        times.emplace_back(std::stol((*it)[1]), std::stol((*it)[2]));
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    string s = std::regex_replace(log, std::regex(R"re(<start time="[0-9]+\.(0|[1-9][0-9]{0,8})"/>)re"),
                                  R"re(<start time="1700000000.5000123"/>)re");
    s = std::regex_replace(s, std::regex(R"re(" time="[0-9]+\.[0-9]{6}")re"), "\"");
    return std::regex_replace(s, std::regex(R"re(<batch time="(?!0\.0{9}")[0-9]+\.[0-9]{9}")re"),
                              R"re(<batch time="T")re");
}

// What a capture writes until a termination signal ends it (the second one
// acting like one): the filter and the batch's command decide. A value that
// looks like an option, or "-", is a file name.
TEST(Capture, WritesWhatPassesUntilASignal) {
    // Every kind of batch, escaped; ancestors created by a set are left out, silently.
    const string kinds =
        "set /p/q/leaf uint32 7 /p/x&y string 'x<y & \"z\"\tend'\nclear /p/q/leaf\nremove /p\n";
    const string kinds_log =
        log_batch("0.000000000", "CMD_SET_LEAF",
                  log_leaf("/p/q/leaf", "uint32", "7") +
                      log_leaf("/p/x&amp;y", "string", "x&lt;y &amp; &quot;z&quot;&#9;end")) +
        log_batch("T", "CMD_CLEAR_LEAF", log_event("/p/q/leaf")) +
        log_batch("T", "CMD_REMOVE_NODE", log_event("/p"));
    // A refused first fetch writes the start and no batch; the next is timed
    // from that fetch. The prefix is canonicalised.
    const string prefix_log = log_batch("T", "CMD_ADD_NODE", log_event("/keep") + log_event("/keep/x"));
    // Node events pass -a but are dropped by the leaf batch's command, which
    // can leave a batch without events.
    const string attr =
        "set /x/mtu int32 1500 /x/speed int32 10\nset /y/speed int32 1\nclear /x/mtu /x/speed\n";
    const string attr_log = log_batch("0.000000000", "CMD_SET_LEAF", log_leaf("/x/mtu", "int32", "1500")) +
                            log_batch("T", "CMD_SET_LEAF", "") +
                            log_batch("T", "CMD_CLEAR_LEAF", log_event("/x/mtu"));
    const struct {
        int sig;
        strings args;
        bool to_file;     // cwd/log.xml; else the file after -f, or standard output
        string requests;  // veltctl batch script
        string log;       // expected, as normal() leaves it
    } rows[] = {
        {SIGHUP, {}, false, "", empty_log},
        {SIGINT, {}, true, kinds, log_document(kinds_log)},
        {SIGQUIT, {"-f", "-v", "-p", "keep//"}, false, "add /other\nadd /keep/x\n", log_document(prefix_log)},
        {SIGTERM, {"-f", "-", "-a", "mtu"}, false, attr, log_document(attr_log)}};
    for (const auto& r : rows) {
        SCOPED_TRACE("signal " + std::to_string(r.sig));
        private_store store;
        const time_t before = time(nullptr);
        capture cap(store, r.args, r.to_file);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        // Exactly the four termination signals are handled.
        EXPECT_EQ(proc_status(cap.proc().pid(), "SigCgt", 16), long(termination_mask));
        if (!r.requests.empty()) store.ctl_ok({"batch"}, r.requests);
        ASSERT_TRUE(wait_until([&] { return store.status_value("pending") == 0; }));
        cap.proc().signal(r.sig);
        cap.proc().signal(r.sig);
        EXPECT_EQ(cap.proc().wait(), 0);
        EXPECT_EQ(cap.proc().err(), "");
        const bool to_stdout = !r.to_file && r.args.empty();
        const string log =
            to_stdout ? cap.proc().out() : read_file(r.to_file ? cap.log_path() : cap.cwd.file(r.args[1]));
        EXPECT_EQ(normal(log), r.log);
        if (!to_stdout) {
            EXPECT_EQ(cap.proc().out(), "");
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cap.cwd.path()), {}), 1);
        }
        // The start is the wall clock of the first fetch.
        if (r.requests.empty()) continue;
        const long start = std::stol(log.substr(log.find("<start time=\"") + 13));
        EXPECT_GE(start, before);
        EXPECT_LE(start, time(nullptr));
    }
}

// A capture that fails, at a fetch (failpoint or the store's end) or at a
// write to the log, ends with one message and status 1. It removes its log
// only while the name still is the regular file it opened: standard output
// keeps a closed document, and a device, a FIFO, a link or a file put in its
// place stays.
TEST(Capture, AFailedCaptureEndsWithItsMessageAndRemovesOnlyItsOwnFile) {
    namespace fs = std::filesystem;
    using ft = fs::file_type;
    string big;  // more than the stream buffers: a batch write fails at once
    for (int i = 0; i < 100; ++i)
        big += "set /big/" + std::to_string(i) + " string " + string(4096, 'v') + "\n";
    const struct {
        ft made;         // the log before the capture; character: a full device, none: standard output
        bool replaced;   // a file is moved onto the log while capture runs
        string changes;  // empty: a failed fetch
        int sig;         // ends the capture, or (failed fetch) the store; 0: the failpoint
        int err;         // 0: no write fails
        ft left;
    } rows[] = {{ft::character, false, "add /n\n", SIGINT, ENOSPC, ft::character},
                {ft::character, false, big, 0, ENOSPC, ft::character},
                {ft::fifo, false, "add /n\n", SIGTERM, EPIPE, ft::fifo},
                {ft::fifo, false, "", 0, 0, ft::fifo},
                {ft::symlink, false, "", 0, 0, ft::symlink},
                {ft::not_found, false, "", 0, 0, ft::not_found},
                {ft::not_found, false, "", SIGKILL, 0, ft::not_found},
                {ft::not_found, true, "", 0, 0, ft::regular},
                {ft::none, false, "", 0, 0, ft::none},
                {ft::none, false, "", SIGTERM, 0, ft::none}};
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        private_store store;
        temp_dir dir;
        const string log = dir.file("log"), other = dir.file("other");
        // The full device gets a node of its own here, so that not even a
        // capture that removes what it should not can reach /dev/full.
        if (r.made == ft::character && mknod(log.c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0) continue;
        int reader = -1;
        if (r.made == ft::symlink) {
            write_file(other, "target");
            fs::create_symlink(other, log);
        }
        if (r.made == ft::fifo) {
            ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
            // Not inherited by the capture, which would then be a reader too.
            reader = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        capture cap(store, r.made == ft::none ? strings{} : strings{"-f", log}, false);
        const bool ready = cap.ready();
        if (r.err != 0 && reader >= 0) close(reader);
        ASSERT_TRUE(ready) << cap.proc().err();
        if (r.replaced) {
            write_file(other, "other");
            fs::rename(other, log);
        }
        if (r.changes.empty()) {
            store.ctl_ok({"batch"}, "add /n\n");
            ASSERT_TRUE(wait_until([&] { return store.status_value("pending") == 0; }));
            if (r.sig == 0)
                store.ctl_ok({"failpoint", "events_get", "-5"});
            else
                store.stop(r.sig);
        } else {
            store.ctl_ok({"batch"}, r.changes);
            if (r.sig != 0) cap.stop(r.sig);
        }
        EXPECT_EQ(cap.proc().wait(10000), 1);
        if (r.err == 0 && reader >= 0) close(reader);
        EXPECT_EQ(cap.proc().err(), r.err == 0
                                        ? "Error: events_get()\n"
                                        : "Error: can't write to '" + log + "': " + strerror(r.err) + "\n");
        if (r.made == ft::none) {
            EXPECT_EQ(normal(cap.proc().out()),
                      log_document(log_batch("0.000000000", "CMD_ADD_NODE", log_event("/n"))));
            continue;
        }
        EXPECT_EQ(fs::symlink_status(log).type(), r.left);
        // The link's target, and the file put in the log's place, are kept.
        if (r.made == ft::symlink || r.replaced) {
            EXPECT_TRUE(fs::is_regular_file(r.replaced ? log : other));
        }
    }
}

// A log on a pipe whose reader lags: a signal that arrives while capture is
// blocked writing to the full pipe must cost nothing of the log.
TEST(Capture, SignalDuringABlockedWriteLosesNothing) {
    private_store store;
    temp_dir dir;
    const string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // read only after the signal
    ASSERT_GE(rd, 0);
    // The pipe is full before capture writes to it, so that its first write
    // blocks before it has passed on a single byte.
    const int wr = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(wr, 0);
    size_t filler = 0;
    for (const string spaces(4096, ' '); write(wr, spaces.data(), spaces.size()) > 0;)
        filler += spaces.size();
    close(wr);
    capture cap(store, {"-f", fifo}, false);
    ASSERT_TRUE(cap.ready()) << cap.proc().err();
    // More log than the stream buffers, so that it writes before the signal.
    const string value(400, 'v');
    string requests;
    for (int i = 0; i < 6000; ++i) requests += "set /s/" + std::to_string(i) + " string " + value + "\n";
    store.ctl_ok({"batch"}, requests);
    // Each termination signal in turn, each while the write is blocked (or
    // once the capture has ended, as it must not before the log is read).
    const string wchan = "/proc/" + std::to_string(cap.proc().pid()) + "/wchan";
    auto blocked = [&] { return read_file(wchan).find("pipe_write") != string::npos; };
    ASSERT_TRUE(wait_until(blocked)) << read_file(wchan);
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        cap.proc().signal(sig);
        EXPECT_TRUE(wait_until([&] { return blocked() || !cap.proc().running(); }, 2000));
    }
    string log;
    char buf[65536];
    for (ssize_t n = 1; n != 0;) {
        pollfd p{rd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "the capture does not finish its log";
        if ((n = read(rd, buf, sizeof buf)) > 0) log.append(buf, size_t(n));
    }
    close(rd);
    ASSERT_GE(log.size(), filler);
    log.erase(0, filler);
    EXPECT_EQ(cap.proc().wait(), 0);
    EXPECT_EQ(cap.proc().err(), "");
    // The leaves captured come whole and without a gap, each in its batch.
    string batches;
    for (size_t at = 0, i = 0; (at = log.find("<event ", at)) != string::npos; ++at, ++i)
        batches += log_batch(i == 0 ? "0.000000000" : "T", "CMD_SET_LEAF",
                             log_leaf("/s/" + std::to_string(i), "string", value));
    EXPECT_NE(batches.find("/s/1\""), string::npos);
    EXPECT_EQ(normal(log), log_document(batches));
}

// Bursts of termination signals at random moments of heavy traffic always
// leave a whole log that replays.
TEST(Capture, SignalBurstsUnderHeavyTrafficLeaveAWholeLog) {
    private_store source, target;
    temp_dir dir;
    // Every kind of batch; no line can fail however often it is repeated.
    string requests;
    for (int i = 0; i < 40; ++i) {
        const string n = "/w/" + std::to_string(i % 8), k = std::to_string(i);
        requests += "add " + n + "/a " + n + "/b\nset " + n + "/a/x int32 " + k + " " + n +
                    "/s string 'v &<\"> " + k + "'\nset /w/l" + std::to_string(i % 5) +
                    " double 1.5\nclear " + n + "/a/x\nremove " + n + "/b\n";
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
    for (; runs < 30 && std::chrono::steady_clock::now() < deadline && !HasFailure(); ++runs) {
        SCOPED_TRACE("run " + std::to_string(runs));
        ASSERT_TRUE(writer.running()) << writer.err();
        capture cap(source);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        // A random share of traffic, then a burst of random signals.
        const bool wanted = rng() % 40 != 0;
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
        wait_until([&] { return source.status_value("pending") > 0 || !wanted; }, 2000, 1);
        for (int i = 0, burst = 1 + int(rng() % 12); i < burst; ++i) {
            cap.proc().signal(signals[rng() % 4]);
            if (rng() % 2) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
        }
        EXPECT_EQ(cap.proc().wait(10000), 0);
        EXPECT_EQ(cap.proc().err(), "");
        const string log = cap.log();
        const result r = replay(target, log);
        EXPECT_EQ(r.status, 0) << r.err << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
        EXPECT_EQ(r.err, "");
        with_batches += log.find("<batch ") != string::npos;
    }
    EXPECT_GE(runs, 10);
    // The bursts came at moments of traffic, not only before it.
    EXPECT_GT(with_batches, runs / 2);
}

}  // namespace
