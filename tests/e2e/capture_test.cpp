// Capture against a private store: the written document line by line, batch
// times, filtering and the batch's command, stopping by signal, and failures
// of the subscription, of a fetch and of the store itself.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;
using std::string;

const string empty_log = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<dump>\n</dump>\n";

// Line patterns; the start's nanoseconds have no leading zeros.
const string head_re = R"re(<\?xml version="1\.0" encoding="utf-8" \?>)re";
const string start_re = R"re(\t<start time="[0-9]+\.(0|[1-9][0-9]{0,8})"/>)re";
const string later_re = R"re([0-9]+\.[0-9]{9})re";
const string end_re = "\\t</batch>";

string batch_re(const string& time, const string& action) {
    return "\\t<batch time=\"" + time + "\" action=\"" + action + "\">";
}

string node_re(const string& path) {
    return "\\t\\t<event path=\"" + path + "\" time=\"[0-9]+\\.[0-9]{6}\" />";
}

string leaf_re(const string& path, const string& type, const string& text) {
    return "\\t\\t<event path=\"" + path + "\" time=\"[0-9]+\\.[0-9]{6}\" type=\"" + type + "\">" + text +
           "</event>";
}

// The whole document: declaration, root, start, the given lines, root end.
void expect_document(const string& text, const strings& body) {
    strings patterns = {head_re, "<dump>", start_re};
    patterns.insert(patterns.end(), body.begin(), body.end());
    patterns.push_back("</dump>");
    const strings lines = lines_of(text);
    EXPECT_EQ(lines.size(), patterns.size()) << text;
    for (size_t i = 0; i < lines.size() && i < patterns.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i])))
            << "line " << i + 1 << ": " << lines[i] << "\n  pattern: " << patterns[i];
    // Batch times never go down.
    std::vector<std::pair<long, long>> times;
    const std::regex batch_time(R"re(<batch time="([0-9]+)\.([0-9]{9})")re");
    for (std::sregex_iterator it(text.begin(), text.end(), batch_time), end; it != end; ++it)
        times.emplace_back(std::stol((*it)[1]), std::stol((*it)[2]));
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << text;
}

// Each termination signal ends a capture, and a second one acts like one.
// A value that looks like an option, or "-", is a file name.
TEST(Capture, TerminationSignalsEndAnEmptyCapture) {
    const struct {
        int sig;
        strings args;  // none: the log is cwd/log.xml
        bool to_file;
    } rows[] = {{SIGHUP, {}, false},
                {SIGINT, {}, true},
                {SIGQUIT, {"-f", "-v"}, false},
                {SIGTERM, {"-f", "-"}, false}};
    private_store store;
    for (const auto& r : rows) {
        SCOPED_TRACE("signal " + std::to_string(r.sig));
        capture cap(store, r.args, r.to_file);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        // Exactly the four termination signals are handled.
        EXPECT_EQ(proc_status(cap.proc().pid(), "SigCgt", 16), long(termination_mask));
        cap.proc().signal(r.sig);
        EXPECT_EQ(cap.stop(r.sig), 0);
        EXPECT_EQ(cap.proc().err(), "");
        const bool to_stdout = !r.to_file && r.args.empty();
        EXPECT_EQ(cap.proc().out(), to_stdout ? empty_log : "");
        if (!to_stdout) {
            EXPECT_EQ(read_file(cap.cwd.file(r.args.empty() ? "log.xml" : r.args.back())), empty_log);
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cap.cwd.path()), {}), 1);
        }
    }
}

TEST(Capture, FilterAndBatchCommandDecideWhatIsWritten) {
    struct row {
        const char* name;
        strings args;
        string requests;  // veltctl batch script
        strings body;     // expected lines after the start element
    };
    const std::vector<row> rows = {
        // Every kind of batch, escaped; ancestors created by a set are left out, silently.
        {"no filter",
         {},
         "set /p/q/leaf uint32 7 /p/x&y string 'x<y & \"z\"\tend'\nclear /p/q/leaf\nremove /p\n",
         {batch_re("0\\.000000000", "CMD_SET_LEAF"), leaf_re("/p/q/leaf", "uint32", "7"),
          leaf_re("/p/x&amp;y", "string", "x&lt;y &amp; &quot;z&quot;&#9;end"), end_re,
          batch_re(later_re, "CMD_CLEAR_LEAF"), node_re("/p/q/leaf"), end_re,
          batch_re(later_re, "CMD_REMOVE_NODE"), node_re("/p"), end_re}},
        // A refused first fetch writes the start and no batch; the next is
        // timed from that fetch. The prefix is canonicalised.
        {"-p keep//",
         {"-p", "keep//"},
         "add /other\nadd /keep/x\n",
         {batch_re("([1-9][0-9]*\\.[0-9]{9}|0\\.(?!0{9})[0-9]{9})", "CMD_ADD_NODE"), node_re("/keep"),
          node_re("/keep/x"), end_re}},
        // Node events pass -a but are dropped by the leaf batch's command,
        // which can leave a batch without events.
        {"-a mtu",
         {"-a", "mtu"},
         "set /x/mtu int32 1500 /x/speed int32 10\nset /y/speed int32 1\nclear /x/mtu /x/speed\n",
         {batch_re("0\\.000000000", "CMD_SET_LEAF"), leaf_re("/x/mtu", "int32", "1500"), end_re,
          batch_re(later_re, "CMD_SET_LEAF"), end_re, batch_re(later_re, "CMD_CLEAR_LEAF"), node_re("/x/mtu"),
          end_re}},
        {"-i mtu",
         {"-i", "mtu"},
         "add /n\nset /n/mtu int32 1 /n/speed int32 2\n",
         {batch_re("0\\.000000000", "CMD_ADD_NODE"), node_re("/n"), end_re,
          batch_re(later_re, "CMD_SET_LEAF"), leaf_re("/n/speed", "int32", "2"), end_re}}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        private_store store;
        const time_t before = time(nullptr);
        capture cap(store, r.args);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        store.ctl_ok({"batch"}, r.requests);
        ASSERT_EQ(cap.stop(), 0);
        EXPECT_EQ(cap.proc().err(), "");
        expect_document(cap.log(), r.body);
        // The start is the wall clock of the first fetch.
        const long start = std::stol(cap.log().substr(cap.log().find("<start time=\"") + 13));
        EXPECT_GE(start, before);
        EXPECT_LE(start, time(nullptr));
    }
}

TEST(Capture, RefusedSubscriptionOpensNoLog) {
    private_store store;
    for (const string code : {"7", "0", "-2"}) {
        store.ctl_ok({"failpoint", "register", code});
        temp_dir cwd;
        const result res = run({ROREZUREDI_BIN, "-f", "log.xml"},
                               {.env = {store.env()}, .cwd = cwd.path(), .timeout_ms = 10000});
        EXPECT_EQ(res.status, 1) << code;
        EXPECT_EQ(res.err, "Error: can't register: " + code + "/0\n");
        EXPECT_EQ(res.out, "");
        EXPECT_TRUE(std::filesystem::is_empty(cwd.path())) << code;
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
    const ft out = ft::none;  // standard output
    const struct {
        ft made;         // what the log is before the capture; character: a full device
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
                {out, false, "", 0, 0, out},
                {out, false, "", SIGTERM, 0, out}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "made " << int(r.made) << ", signal " << r.sig << ", errno "
                                        << r.err << (r.replaced ? ", replaced" : ""));
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
        capture cap(store, r.made == out ? strings{} : strings{"-f", log}, false);
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
        if (r.made == out) {
            expect_document(cap.proc().out(),
                            {batch_re("0\\.000000000", "CMD_ADD_NODE"), node_re("/n"), end_re});
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
    for (const string spaces(4096, ' ');;) {
        const ssize_t n = write(wr, spaces.data(), spaces.size());
        if (n <= 0) break;
        filler += size_t(n);
    }
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
    for (;;) {
        pollfd p{rd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "the capture does not finish its log";
        const ssize_t n = read(rd, buf, sizeof buf);
        if (n == 0) break;
        if (n > 0) log.append(buf, size_t(n));
    }
    close(rd);
    ASSERT_GE(log.size(), filler);
    log.erase(0, filler);
    EXPECT_EQ(cap.proc().wait(), 0);
    EXPECT_EQ(cap.proc().err(), "");
    // The leaves captured come whole and without a gap, each in its batch.
    strings body;
    for (size_t at = 0, i = 0; (at = log.find("<event ", at)) != string::npos; ++at, ++i)
        body.insert(body.end(), {batch_re(i == 0 ? "0\\.000000000" : later_re, "CMD_SET_LEAF"),
                                 leaf_re("/s/" + std::to_string(i), "string", value), end_re});
    EXPECT_GT(body.size(), 3u);
    expect_document(log, body);
}

}  // namespace
