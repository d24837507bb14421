// Faults around rorezuredi: the store dying under a replay or a capture,
// bursts of termination signals during a capture under heavy traffic, and a
// capture too slow to keep up with the store.
#include <expat.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using std::string;
using strings = std::vector<string>;

#if defined(__SANITIZE_ADDRESS__)
constexpr long memory_factor = 3;
#else
constexpr long memory_factor = 1;
#endif

long proc_status_kib(pid_t pid, const string& field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (string line; std::getline(f, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

unsigned long caught_signals(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (string line; std::getline(f, line);)
        if (line.rfind("SigCgt:", 0) == 0) return std::stoul(line.substr(7), nullptr, 16);
    return 0;
}

constexpr unsigned long termination_mask =
    (1ul << (SIGHUP - 1)) | (1ul << (SIGINT - 1)) | (1ul << (SIGQUIT - 1)) | (1ul << (SIGTERM - 1));

// A capture in its own directory; the log is dir/log.xml, or standard output.
class capture {
public:
    capture(const harness::private_store& store, bool to_file = true) {
        strings argv{ROREZUREDI_BIN};
        if (to_file) argv.insert(argv.end(), {"-f", log_path()});
        proc = std::make_unique<harness::process>(argv, harness::options{.env = {store.env()}, .cwd = dir.path()});
    }
    // Subscribed, log open, handlers installed.
    bool ready() {
        harness::wait_until([&] {
            return !proc->running() || (caught_signals(proc->pid()) & termination_mask) == termination_mask;
        });
        return proc->running();
    }
    string log_path() const { return dir.file("log.xml"); }

    harness::temp_dir dir;
    std::unique_ptr<harness::process> proc;
};

// What a well-formed event log holds, read with expat.
struct log_shape {
    bool well_formed = false;
    string root;
    int batches = 0;
    int events = 0;
    int bad_batches = 0;  // without a time or a known action
};

log_shape read_shape(const string& text) {
    log_shape shape;
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &shape);
    XML_SetStartElementHandler(p, [](void* data, const XML_Char* name, const XML_Char** attrs) {
        auto* s = static_cast<log_shape*>(data);
        string n = name;
        if (s->root.empty()) s->root = n;
        if (n == "event") ++s->events;
        if (n != "batch") return;
        ++s->batches;
        bool time = false, action = false;
        for (int i = 0; attrs[i]; i += 2) {
            string a = attrs[i], v = attrs[i + 1];
            if (a == "time") time = true;
            if (a == "action")
                action = v == "CMD_ADD_NODE" || v == "CMD_REMOVE_NODE" || v == "CMD_SET_LEAF" || v == "CMD_CLEAR_LEAF";
        }
        if (!time || !action) ++s->bad_batches;
    });
    shape.well_formed = XML_Parse(p, text.data(), int(text.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(p);
    return shape;
}

harness::result replay_text(const harness::private_store& store, const string& log, const strings& args = {}) {
    harness::temp_dir dir;
    harness::write_file(dir.file("log.xml"), log);
    strings argv{ROREZUREDI_BIN, "-l", dir.file("log.xml")};
    argv.insert(argv.end(), args.begin(), args.end());
    return harness::run(argv, {.env = {store.env()}});
}

int count_of(const string& text, const string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

TEST(StoreDies, DuringAReplayTheFailingRequestEndsIt) {
    struct kind {
        string action;
        string message;
        bool leaf;
    };
    const kind kinds[] = {
        {"CMD_ADD_NODE", "Error: add_node() failed!\n", false},
        {"CMD_REMOVE_NODE", "Error: remove_node() failed!\n", false},
        {"CMD_SET_LEAF", "Error: set_leaf() failed!\n", true},
        {"CMD_CLEAR_LEAF", "Error: clear_leaf() failed!\n", false},
    };
    for (const kind& k : kinds) {
        for (int sig : {SIGKILL, SIGTERM}) {
            SCOPED_TRACE(k.action + " batches, store ended by signal " + std::to_string(sig));
            harness::private_store store;
            string log = "<dump>\n";
            for (int i = 0; i < 500; ++i) {
                string path = "/f/" + std::to_string(i);
                log += "\t<batch time=\"" + std::to_string(i) + ".0\" action=\"" + k.action + "\">\n\t\t<event path=\"" +
                       path + (k.leaf ? "\" type=\"int32\">" + std::to_string(i) + "</event>\n" : "\" />\n") +
                       "\t</batch>\n";
            }
            log += "</dump>\n";
            harness::temp_dir dir;
            harness::write_file(dir.file("log.xml"), log);
            harness::process tool({ROREZUREDI_BIN, "-l", dir.file("log.xml"), "-w", "10000"}, {.env = {store.env()}});
            // A few batches have gone through; then the store goes away.
            ASSERT_TRUE(harness::wait_until([&] { return count_of(tool.out(), "[ ") >= 3 || !tool.running(); }));
            store.daemon().signal(sig);
            store.daemon().wait();
            EXPECT_EQ(tool.wait(), 255);
            EXPECT_EQ(tool.err(), k.message);
        }
    }
}

TEST(StoreDies, InTheMiddleOfALargeRequest) {
    // The store goes while a request of tens of megabytes is on its way or
    // being answered: the request fails like any other, the tool is not
    // killed by the broken connection.
    harness::private_store store;
    harness::temp_dir dir;
    const string path = dir.file("log.xml");
    {
        std::ofstream f(path, std::ios::binary);
        f << "<dump><batch time=\"0.0\" action=\"CMD_SET_LEAF\"><event path=\"/big\" type=\"string\">";
        const string piece(1 << 20, 'b');
        for (int i = 0; i < 48; ++i) f << piece;
        f << "</event></batch></dump>\n";
    }
    harness::process tool({ROREZUREDI_BIN, "-l", path}, {.env = {store.env()}});
    ASSERT_TRUE(harness::wait_until([&] { return tool.out().find("Replaying events:") != string::npos || !tool.running(); }));
    store.kill();
    EXPECT_EQ(tool.wait(), 255);
    EXPECT_EQ(tool.err(), "Error: set_leaf() failed!\n");
}

TEST(StoreDies, DuringACaptureTheFetchFails) {
    for (bool to_file : {true, false}) {
        for (int sig : {SIGKILL, SIGTERM}) {
            SCOPED_TRACE(string(to_file ? "-f log" : "standard output") + ", store ended by signal " +
                         std::to_string(sig));
            harness::private_store store;
            capture cap(store, to_file);
            ASSERT_TRUE(cap.ready()) << cap.proc->err();
            store.ctl_ok({"set", "/c/x", "int32", "1"});
            store.ctl_ok({"add", "/c/n"});
            ASSERT_TRUE(harness::wait_until([&] { return store.status_value("pending") == 0; }));
            store.daemon().signal(sig);
            store.daemon().wait();
            EXPECT_EQ(cap.proc->wait(), 1);
            EXPECT_EQ(cap.proc->err(), "Error: events_get()\n");
            if (to_file) {
                EXPECT_FALSE(harness::file_exists(cap.log_path()));
            } else {
                // Standard output keeps what was written, closed as a whole document.
                log_shape shape = read_shape(cap.proc->out());
                EXPECT_TRUE(shape.well_formed) << cap.proc->out();
                EXPECT_EQ(shape.root, "dump");
                EXPECT_EQ(shape.batches, 2);
                EXPECT_EQ(shape.bad_batches, 0);
            }
        }
    }
}

TEST(CaptureSignals, BurstsUnderHeavyTrafficAlwaysLeaveAWholeLog) {
    harness::private_store source;
    harness::private_store target;
    harness::temp_dir dir;
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
    harness::write_file(dir.file("requests"), requests);
    harness::process writer({"/bin/sh", "-c", "while \"$0\" batch \"$1\"; do :; done; exit 1", VELTCTL_BIN,
                             dir.file("requests")},
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
        ASSERT_TRUE(cap.ready()) << cap.proc->err();
        // Let the capture take a random share of traffic, then hit it with a
        // burst of random termination signals at a random moment.
        const int batches_wanted = int(rng() % 40);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
        harness::wait_until([&] { return source.status_value("pending") > 0 || batches_wanted == 0; }, 2000, 1);
        const int burst = 1 + int(rng() % 12);
        for (int i = 0; i < burst; ++i) {
            cap.proc->signal(signals[rng() % 4]);
            if (rng() % 2) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
        }
        EXPECT_EQ(cap.proc->wait(10000), 0);
        EXPECT_EQ(cap.proc->err(), "");

        const string log = harness::read_file(cap.log_path());
        log_shape shape = read_shape(log);
        ASSERT_TRUE(shape.well_formed) << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
        EXPECT_EQ(shape.root, "dump");
        EXPECT_EQ(shape.bad_batches, 0);
        if (shape.batches > 0) ++with_batches;

        harness::result r = replay_text(target, log);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        if (HasFailure()) break;
    }
    EXPECT_GE(runs, 10);
    // The bursts came at moments of traffic, not only before it.
    EXPECT_GT(with_batches, runs / 2);
}

TEST(SlowCapture, IsCutOffWithoutTheStoreGrowingPastItsBound) {
    // The capture stops reading (stopped by SIGSTOP) while far more than the
    // 64 MiB a subscriber may fall behind arrives for it.
    harness::private_store store;
    capture cap(store);
    ASSERT_TRUE(cap.ready()) << cap.proc->err();
    harness::temp_dir dir;
    {
        std::ofstream f(dir.file("requests"), std::ios::binary);
        const string mib_text(1 << 20, 'm');
        for (int i = 0; i < 100; ++i) f << "set /big/" << i % 4 << " string " << mib_text << "\n";
    }
    const long base_kib = proc_status_kib(store.pid(), "VmHWM");
    cap.proc->signal(SIGSTOP);
    harness::result w = harness::run({VELTCTL_BIN, "batch", dir.file("requests")}, {.env = {store.env()}});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(harness::wait_until([&] { return store.status_value("subscribers") == 0; }));
    const long peak_kib = proc_status_kib(store.pid(), "VmHWM");
    EXPECT_LT(peak_kib - base_kib, (64 + 48) * 1024 * memory_factor) << peak_kib << " KiB";

    // Resumed, the capture finds its subscription gone.
    cap.proc->signal(SIGCONT);
    EXPECT_EQ(cap.proc->wait(), 1);
    EXPECT_EQ(cap.proc->err(), "Error: events_get()\n");
    EXPECT_FALSE(harness::file_exists(cap.log_path()));
    // The store goes on serving.
    EXPECT_EQ(store.ctl_ok({"get", "/big/3"}).size(), size_t(1 << 20) + 1);
}

}  // namespace
