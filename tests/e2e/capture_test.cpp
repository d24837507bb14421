// Capture against a private store: the written document line by line, batch
// times, filtering, the batch's command, stopping by signal, and failures of
// the subscription, of a fetch and of the store itself.
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using std::string;
using strings = std::vector<string>;

const string prolog = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<dump>\n";
const string empty_log = prolog + "</dump>\n";

// Regex pieces for the three number forms of the log.
const string start_re = R"re(\t<start time="[0-9]+\.(0|[1-9][0-9]{0,8})"/>)re";
const string batch_time_re = R"re([0-9]+\.[0-9]{9})re";
const string event_time_re = R"re([0-9]+\.[0-9]{6})re";

string batch_re(const string& time, const string& action)
{
    return "\\t<batch time=\"" + time + "\" action=\"" + action + "\">";
}

string node_event_re(const string& path)
{
    return "\\t\\t<event path=\"" + path + "\" time=\"" + event_time_re + "\" />";
}

string leaf_event_re(const string& path, const string& type, const string& text)
{
    return "\\t\\t<event path=\"" + path + "\" time=\"" + event_time_re + "\" type=\"" + type + "\">" + text +
           "</event>";
}

const string batch_end_re = "\\t</batch>";

strings split_lines(const string& text)
{
    strings lines;
    std::istringstream in(text);
    string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Every line of `text` matches the pattern at its position, and nothing more.
void expect_lines(const string& text, const strings& patterns)
{
    const strings lines = split_lines(text);
    EXPECT_EQ(lines.size(), patterns.size()) << text;
    for (size_t i = 0; i < lines.size() && i < patterns.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i])))
            << "line " << i + 1 << ": " << lines[i] << "\n  pattern: " << patterns[i];
}

unsigned long caught_signals(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    string line;
    while (std::getline(f, line))
        if (line.rfind("SigCgt:", 0) == 0) return std::stoul(line.substr(7), nullptr, 16);
    return 0;
}

constexpr unsigned long termination_mask =
    (1ul << (SIGHUP - 1)) | (1ul << (SIGINT - 1)) | (1ul << (SIGQUIT - 1)) | (1ul << (SIGTERM - 1));

// One capture run against a store, in its own working directory; with
// to_file the log is cwd/log.xml, otherwise standard output.
class capture_run {
public:
    capture_run(const harness::private_store& store, strings args, bool to_file = true) : m_store(store)
    {
        strings argv{ROREZUREDI_BIN};
        if (to_file) {
            argv.push_back("-f");
            argv.push_back(m_cwd.file("log.xml"));
        }
        argv.insert(argv.end(), args.begin(), args.end());
        m_proc = std::make_unique<harness::process>(
            argv, harness::options{.env = {store.env()}, .cwd = m_cwd.path()});
    }

    // Subscribed, log open and handlers installed: changes made now are captured.
    bool ready()
    {
        return harness::wait_until([&] {
            return !m_proc->running() || (caught_signals(m_proc->pid()) & termination_mask) == termination_mask;
        }) && m_proc->running();
    }

    // Lets every delivered batch be taken, then stops the capture.
    int stop(int sig = SIGTERM)
    {
        EXPECT_TRUE(harness::wait_until([&] { return m_store.status_value("pending") == 0; }));
        m_proc->signal(sig);
        return m_proc->wait();
    }

    harness::process& proc() { return *m_proc; }
    string log_path() const { return m_cwd.file("log.xml"); }
    string log() const { return harness::read_file(log_path()); }
    const harness::temp_dir& cwd() const { return m_cwd; }

private:
    const harness::private_store& m_store;
    harness::temp_dir m_cwd;
    std::unique_ptr<harness::process> m_proc;
};

TEST(Capture, EachTerminationSignalEndsAnEmptyCapture)
{
    harness::private_store store;
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        // Alternate between a named log and standard output.
        const bool to_file = sig == SIGINT || sig == SIGTERM;
        capture_run cap(store, {}, to_file);
        ASSERT_TRUE(cap.ready()) << "signal " << sig << ": " << cap.proc().err();
        // Exactly the four termination signals are handled.
        EXPECT_EQ(caught_signals(cap.proc().pid()), termination_mask) << "signal " << sig;
        EXPECT_EQ(cap.stop(sig), 0) << "signal " << sig;
        EXPECT_EQ(cap.proc().err(), "") << "signal " << sig;
        EXPECT_EQ(to_file ? cap.log() : cap.proc().out(), empty_log) << "signal " << sig;
        if (to_file) {
            EXPECT_EQ(cap.proc().out(), "") << "signal " << sig;
        }
    }
}

TEST(Capture, RepeatedSignalsActLikeOne)
{
    harness::private_store store;
    capture_run cap(store, {});
    ASSERT_TRUE(cap.ready());
    cap.proc().signal(SIGINT);
    cap.proc().signal(SIGTERM);
    cap.proc().signal(SIGHUP);
    EXPECT_EQ(cap.proc().wait(), 0);
    EXPECT_EQ(cap.log(), empty_log);
}

TEST(Capture, WritesNodeLeafAndClearBatches)
{
    harness::private_store store;
    const time_t before = time(nullptr);
    capture_run cap(store, {});
    ASSERT_TRUE(cap.ready());
    store.ctl_ok({"add", "/a/b"});
    store.ctl_ok({"set", "/a/b/c", "int32", "42", "/a/b/s", "string", "x<y & \"z\"\tend"});
    store.ctl_ok({"clear", "/a/b/c"});
    store.ctl_ok({"remove", "/a"});
    ASSERT_EQ(cap.stop(), 0);
    const time_t after = time(nullptr);
    EXPECT_EQ(cap.proc().err(), "");

    const string log = cap.log();
    ASSERT_EQ(log.rfind(prolog, 0), 0u) << log;
    expect_lines(log, {
        R"re(<\?xml version="1\.0" encoding="utf-8" \?>)re",
        "<dump>",
        start_re,
        batch_re("0\\.000000000", "CMD_ADD_NODE"),
        node_event_re("/a"),
        node_event_re("/a/b"),
        batch_end_re,
        batch_re(batch_time_re, "CMD_SET_LEAF"),
        leaf_event_re("/a/b/c", "int32", "42"),
        leaf_event_re("/a/b/s", "string", "x&lt;y &amp; &quot;z&quot;&#9;end"),
        batch_end_re,
        batch_re(batch_time_re, "CMD_CLEAR_LEAF"),
        node_event_re("/a/b/c"),
        batch_end_re,
        batch_re(batch_time_re, "CMD_REMOVE_NODE"),
        node_event_re("/a"),
        batch_end_re,
        "</dump>",
    });

    // The start is the wall-clock time of the first fetch; batch times never go down.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"re(<start time="([0-9]+)\.)re")));
    const long start_sec = std::stol(m[1]);
    EXPECT_GE(start_sec, before);
    EXPECT_LE(start_sec, after);
    long prev_sec = 0, prev_nsec = 0;
    const std::regex batch_time(R"re(<batch time="([0-9]+)\.([0-9]{9})")re");
    const auto end = std::sregex_iterator();
    for (auto it = std::sregex_iterator(log.begin(), log.end(), batch_time); it != end; ++it) {
        const long sec = std::stol((*it)[1]), nsec = std::stol((*it)[2]);
        EXPECT_TRUE(sec > prev_sec || (sec == prev_sec && nsec >= prev_nsec)) << log;
        prev_sec = sec;
        prev_nsec = nsec;
    }
}

TEST(Capture, LeafTimeIsTheStoredTimestamp)
{
    harness::private_store store;
    capture_run cap(store, {});
    ASSERT_TRUE(cap.ready());
    store.ctl_ok({"set", "/t/leaf", "bool", "true"});
    const string dump = store.dump(true);
    ASSERT_EQ(cap.stop(), 0);

    std::smatch stored, written;
    ASSERT_TRUE(std::regex_search(dump, stored, std::regex(R"re(leaf /t/leaf bool true @([0-9]+\.[0-9]{6}))re")))
        << dump;
    const string log = cap.log();
    const std::regex leaf_line(R"re(<event path="/t/leaf" time="([^"]*)" type="bool">true<)re");
    ASSERT_TRUE(std::regex_search(log, written, leaf_line)) << log;
    EXPECT_EQ(written[1].str(), stored[1].str());
}

TEST(Capture, LeafUnderMissingParentKeepsOnlyTheLeaf)
{
    harness::private_store store;
    capture_run cap(store, {});
    ASSERT_TRUE(cap.ready());
    store.ctl_ok({"set", "/p/q/leaf", "uint32", "7"});
    ASSERT_EQ(cap.stop(), 0);
    // The node events of the same batch are dropped without a message.
    EXPECT_EQ(cap.proc().err(), "");
    expect_lines(cap.log(), {
        ".*", "<dump>", start_re,
        batch_re("0\\.000000000", "CMD_SET_LEAF"),
        leaf_event_re("/p/q/leaf", "uint32", "7"),
        batch_end_re,
        "</dump>",
    });
}

TEST(Capture, FilterDecidesWhatIsWritten)
{
    struct row {
        const char* name;
        strings args;
        strings requests;  // veltctl commands, one per line
        strings lines;     // expected log lines after the start element
    };
    const std::vector<row> rows = {
        // A refused first fetch writes the start and no batch; the next
        // batch is timed from that fetch. The prefix is canonicalised.
        {"-p keep//",
         {"-p", "keep//"},
         {"add /other", "add /keep/x"},
         {batch_re("([1-9][0-9]*\\.[0-9]{9}|0\\.(?!0{9})[0-9]{9})", "CMD_ADD_NODE"), node_event_re("/keep"),
          node_event_re("/keep/x"), batch_end_re}},
        {"-x /a",
         {"-x", "/a"},
         {"add /a/x /ab /b"},
         {batch_re("0\\.000000000", "CMD_ADD_NODE"), node_event_re("/b"), batch_end_re}},
        // Leaf events judged by name; node events of the batch are accepted
        // but left out since the batch stands for the leaves.
        {"-a mtu",
         {"-a", "mtu"},
         {"set /x/mtu int32 1500 /x/speed int32 10", "set /y/speed int32 1", "clear /x/mtu /x/speed"},
         {batch_re("0\\.000000000", "CMD_SET_LEAF"), leaf_event_re("/x/mtu", "int32", "1500"), batch_end_re,
          batch_re(batch_time_re, "CMD_SET_LEAF"), batch_end_re,
          batch_re(batch_time_re, "CMD_CLEAR_LEAF"), node_event_re("/x/mtu"), batch_end_re}},
        {"-i mtu",
         {"-i", "mtu"},
         {"add /n", "set /n/mtu int32 1 /n/speed int32 2"},
         {batch_re("0\\.000000000", "CMD_ADD_NODE"), node_event_re("/n"), batch_end_re,
          batch_re(batch_time_re, "CMD_SET_LEAF"), leaf_event_re("/n/speed", "int32", "2"), batch_end_re}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        harness::private_store fresh;
        capture_run cap(fresh, r.args);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        string script;
        for (const string& req : r.requests) script += req + "\n";
        fresh.ctl_ok({"batch"}, script);
        ASSERT_EQ(cap.stop(), 0);
        EXPECT_EQ(cap.proc().err(), "");
        strings patterns = {".*", "<dump>", start_re};
        patterns.insert(patterns.end(), r.lines.begin(), r.lines.end());
        patterns.push_back("</dump>");
        expect_lines(cap.log(), patterns);
    }
}

TEST(Capture, RefusedSubscription)
{
    harness::private_store store;
    for (const char* code : {"7", "0", "-2"}) {
        store.ctl_ok({"failpoint", "register", code});
        harness::temp_dir cwd;
        const harness::result res = harness::run({ROREZUREDI_BIN, "-f", "log.xml"},
                                                 {.env = {store.env()}, .cwd = cwd.path(), .timeout_ms = 10000});
        EXPECT_EQ(res.status, 1) << code;
        EXPECT_EQ(res.err, string("Error: can't register: ") + code + "/0\n");
        EXPECT_EQ(res.out, "");
        EXPECT_TRUE(std::filesystem::is_empty(cwd.path())) << code;
    }
}

TEST(Capture, FailedFetchRemovesNamedLog)
{
    harness::private_store store;
    capture_run cap(store, {});
    ASSERT_TRUE(cap.ready());
    store.ctl_ok({"add", "/a"});
    ASSERT_TRUE(harness::wait_until([&] { return store.status_value("pending") == 0; }));
    store.ctl_ok({"failpoint", "events_get", "-5"});
    EXPECT_EQ(cap.proc().wait(), 1);
    EXPECT_EQ(cap.proc().err(), "Error: events_get()\n");
    EXPECT_FALSE(harness::file_exists(cap.log_path()));
    EXPECT_TRUE(std::filesystem::is_empty(cap.cwd().path()));
}

TEST(Capture, FailedFetchOnStandardOutputStillClosesTheDocument)
{
    harness::private_store store;
    capture_run cap(store, {}, false);
    ASSERT_TRUE(cap.ready());
    store.ctl_ok({"add", "/a"});
    ASSERT_TRUE(harness::wait_until([&] { return store.status_value("pending") == 0; }));
    store.ctl_ok({"failpoint", "events_get", "-1"});
    EXPECT_EQ(cap.proc().wait(), 1);
    EXPECT_EQ(cap.proc().err(), "Error: events_get()\n");
    expect_lines(cap.proc().out(), {".*", "<dump>", start_re, batch_re("0\\.000000000", "CMD_ADD_NODE"),
                                    node_event_re("/a"), batch_end_re, "</dump>"});
}

TEST(Capture, StoreKilledDuringCapture)
{
    harness::private_store store;
    capture_run cap(store, {});
    ASSERT_TRUE(cap.ready());
    store.ctl_ok({"add", "/a"});
    ASSERT_TRUE(harness::wait_until([&] { return store.status_value("pending") == 0; }));
    store.kill();
    EXPECT_EQ(cap.proc().wait(), 1);
    EXPECT_EQ(cap.proc().err(), "Error: events_get()\n");
    EXPECT_FALSE(harness::file_exists(cap.log_path()));
}

}  // namespace
