// state, diff, verify and snapshot against real stores: the tree a log leaves
// at any moment is the tree a replay of the log up to then builds; a snapshot
// and an overlapping capture together end in the live store's tree.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <regex>
#include <thread>

#include "in_process.h"
#include "log_format.h"
#include "log_time.h"
#include "protocol/messages.h"
#include "store_state.h"
#include "workload.h"

namespace {

using namespace harness;
using logtool::nanos;
using std::string;

result toolbox(const private_store& store, const strings& args) {
    strings argv{ROREZUREDI_LOG_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {.env = {store.env()}});
}

// The batch times a log holds, as written.
strings batch_times(const string& log) {
    static const std::regex time_attr("<batch time=\"([0-9.]+)\"");
    strings out;
    for (std::sregex_iterator it(log.begin(), log.end(), time_attr), end; it != end; ++it)
        out.push_back((*it)[1]);
    return out;
}

string plus_one_ns(const string& seconds) {
    nanos ns = 0;
    EXPECT_TRUE(logtool::parse_seconds(seconds, ns));
    return logtool::format_seconds(ns + 1);
}

// A dump's lines by path, each with the "TYPE TEXT" of a leaf ("" for a node).
std::map<string, std::pair<bool, string>> by_path(const string& dump) {
    static const strings types = {"bool",   "int32", "uint32", "int64", "uint64", "string",
                                  "double", "ipv4",  "ipv6",   "mac",   "binary"};
    std::map<string, std::pair<bool, string>> out;
    for (const string& line : lines_of(dump)) {
        const string rest = line.substr(5);
        if (line.starts_with("node ")) {
            out[rest] = {false, ""};
            continue;
        }
        size_t at = string::npos;
        for (const string& t : types) at = std::min(at, rest.find(" " + t + " "));
        out[rest.substr(0, at)] = {true, rest.substr(at + 1)};
    }
    return out;
}

// What diff must print between two dumps, sorted.
strings dump_difference(const string& before, const string& after) {
    auto a = by_path(before), b = by_path(after);
    strings out;
    const auto line = [](char op, const string& path, const std::pair<bool, string>& e) {
        return string(1, op) + (e.first ? " leaf " : " node ") + path + (e.first ? " " + e.second : "");
    };
    for (const auto& [path, e] : a) {
        const auto it = b.find(path);
        if (it == b.end() || it->second.first != e.first) {
            out.push_back(line('-', path, e));
            if (it != b.end()) out.push_back(line('+', path, it->second));
        } else if (e.first && e.second != it->second.second) {
            const string& old_type = e.second.substr(0, e.second.find(' '));
            const string& new_typed = it->second.second;
            const bool same_type = new_typed.starts_with(old_type + " ");
            out.push_back(line('~', path, e) + " -> " +
                          (same_type ? new_typed.substr(old_type.size() + 1) : new_typed));
        }
    }
    for (const auto& [path, e] : b)
        if (!a.contains(path)) out.push_back(line('+', path, e));
    std::sort(out.begin(), out.end());
    return out;
}

strings sorted_lines(const string& text) {
    strings l = lines_of(text);
    std::sort(l.begin(), l.end());
    return l;
}

TEST(State, AtAnyTimeIsWhatAReplayOfTheSliceUpToThenBuilds) {
    for (const unsigned seed : {24u, 2024u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        private_store source;
        capture cap(source);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        source.use_in_process();
        toolkit::CVelt api;
        api.handle = vlt_init();
        workload w{std::mt19937_64(seed)};
        for (int i = 0; i < 300; ++i) w.step(api);
        ASSERT_EQ(cap.stop(SIGINT), 0);
        const strings times = batch_times(cap.log());
        ASSERT_GT(times.size(), 100u);

        EXPECT_EQ(toolbox(source, {"state", "--times", cap.log_path()}).out, source.dump(true));
        EXPECT_EQ(toolbox(source, {"verify", "--times", cap.log_path()}).status, 0);
        // The state at each T, and the net change from the T before (from the start for the first).
        string before_time, before;
        for (const size_t k : {size_t(0), times.size() / 3, times.size() * 2 / 3, times.size() - 2}) {
            SCOPED_TRACE("at " + times[k]);
            const string slice = cap.cwd.file("slice.xml");
            ASSERT_EQ(toolbox(source, {"slice", "--to", plus_one_ns(times[k]), cap.log_path(), slice}).status,
                      0);
            private_store target;
            ASSERT_EQ(replay(target, read_file(slice), {"-t"}).status, 0);
            const result state = toolbox(source, {"state", "--times", "--at", times[k], cap.log_path()});
            EXPECT_EQ(state.status, 0) << state.err;
            EXPECT_EQ(state.out, target.dump(true));

            const string now = target.dump(false);
            strings args{"diff", "--to", times[k], cap.log_path()};
            if (!before_time.empty()) args.insert(args.end(), {"--from", before_time});
            const result d = toolbox(source, args);
            const strings expected = dump_difference(before, now);
            EXPECT_EQ(sorted_lines(d.out), expected);
            EXPECT_EQ(d.status, expected.empty() ? 0 : 1) << d.err;
            before_time = times[k];
            before = now;
        }
    }
}

TEST(Snapshot, AndACaptureStartedBeforeItEndInTheLiveTree) {
    private_store store;
    store.use_in_process();
    toolkit::CVelt api;
    api.handle = vlt_init();
    workload w{std::mt19937_64(7)};
    for (int i = 0; i < 300; ++i) w.step(api);
    capture cap(store);
    ASSERT_TRUE(cap.ready()) << cap.proc().err();
    // Writers go on while the snapshot is taken, and a while after; the
    // writer is stopped and joined however the test ends.
    std::atomic<long> steps{0};
    std::jthread writer([&](const std::stop_token& stop) {
        toolkit::CVelt own;
        own.handle = vlt_init();
        workload ww{std::mt19937_64(8)};
        while (!stop.stop_requested()) ww.step(own), ++steps;
    });
    ASSERT_TRUE(wait_until([&] { return steps > 100; }));
    const string snap = cap.cwd.file("snap.xml");
    const result taken = toolbox(store, {"snapshot", snap});
    const long after = steps;
    EXPECT_TRUE(wait_until([&] { return steps > after + 100; }));
    writer.request_stop();
    writer.join();
    ASSERT_EQ(taken.status, 0) << taken.err;
    ASSERT_EQ(cap.stop(SIGINT), 0);

    const result state = toolbox(store, {"state", "--times", "--keep-going", snap, cap.log_path()});
    EXPECT_EQ(state.status, 0) << state.err;
    EXPECT_EQ(state.out, store.dump(true));
    EXPECT_EQ(toolbox(store, {"verify", "--keep-going", snap, cap.log_path()}).status, 0);

    const auto tree = by_path(store.dump());
    const auto leaf = std::find_if(tree.begin(), tree.end(), [](const auto& e) { return e.second.first; });
    ASSERT_NE(leaf, tree.end());
    store.ctl_ok({"set", leaf->first, "string", "changed since"});
    const result v = toolbox(store, {"verify", "--keep-going", snap, cap.log_path()});
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.out.find("~ leaf " + leaf->first + " "), string::npos) << v.out;
}

TEST(Snapshot, ReplaysToTheSameStoreInSeveralBatches) {
    private_store source;
    source.use_in_process();
    toolkit::CVelt api;
    api.handle = vlt_init();
    workload w{std::mt19937_64(11)};
    for (int i = 0; i < 300; ++i) w.step(api);
    // Enough text for several requests of the size snapshot writes.
    string requests = "add /empty/a /empty/b/c\n";
    for (int line = 0; line < 200; ++line) {
        requests += "set";
        for (int i = 0; i < 100; ++i)
            requests += " /big/n" + std::to_string(line % 7) + "/l" + std::to_string(line * 100 + i) +
                        " string " + string(60, char('a' + i % 26));
        requests += "\n";
    }
    source.ctl_ok({"batch"}, requests);
    temp_dir dir;
    const result taken = toolbox(source, {"snapshot", dir.file("snap.xml")});
    ASSERT_EQ(taken.status, 0) << taken.err;
    const string snap = read_file(dir.file("snap.xml"));
    const strings times = batch_times(snap);
    ASSERT_GE(std::count(snap.begin(), snap.end(), '\n'), 20000);
    EXPECT_GE(times.size(), 3u);
    for (size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i], logtool::format_seconds(nanos(i)));
    private_store target;
    const result replayed = replay(target, snap, {"-t"});
    ASSERT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(target.dump(true), source.dump(true));

    // -p: the subtree alone, below the ancestors that lead to it.
    ASSERT_EQ(
        toolbox(source, {"snapshot", "-p", "/big/n3", "-p", "/big/n3/l303", dir.file("part.xml")}).status, 0);
    const result part = toolbox(source, {"state", dir.file("part.xml")});
    EXPECT_EQ(part.out, "node /big\n" + source.ctl_ok({"dump", "/big/n3"}));
}

// Batches the store refuses: reported and stopped at, or taken event by event.
TEST(State, RefusedBatches) {
    temp_dir dir;
    const string log = dir.file("refused.xml");
    FILE* f = std::fopen(log.c_str(), "w");
    write_log_head(f);
    toolkit::CElement v;
    v.set_int32(1);
    v.timestamp() = timeval{1700000000, 5};
    const auto batch = [&](long t, api_cmd_t cmd, const strings& paths) {
        write_batch_open(f, timespec{t, 0}, action_name(cmd));
        for (const string& p : paths) write_event(f, cmd, p, v);
        write_batch_close(f);
    };
    batch(0, CMD_SET_LEAF, {"/a"});
    batch(1, CMD_SET_LEAF, {"/x/y", "/a/z", "/x/w"});  // a leaf under the leaf /a: a conflict
    batch(2, CMD_REMOVE_NODE, {"/a"});                 // a leaf: a conflict
    batch(3, CMD_CLEAR_LEAF, {"/x/y", "//"});          // the root: invalid
    write_log_tail(f);
    std::fclose(f);

    struct row {
        strings args;
        int status;
        string out, err;
    } rows[] = {
        {{"state", log},
         1,
         "leaf /a int32 1\n",
         "batch 1 at 1.000000000 (CMD_SET_LEAF): the store would refuse it: conflict (code 2) at /a/z"},
        {{"state", "--at", "0.5", log}, 0, "leaf /a int32 1\n", ""},
        {{"state", "--keep-going", log},
         0,
         "leaf /a int32 1\nnode /x\nleaf /x/w int32 1\n",
         "skipped 3 events the store would refuse"},
        {{"diff", log}, 2, "", "(code 2)"},
        {{"diff", "--keep-going", "--from", "1", log}, 1, "- leaf /x/y int32 1\n", "skipped 3"},
        {{"diff", "--from", "3", "--to", "2", log}, 2, "", "--to lies before --from"},
        {{"state", "--at", "2026-12-06T14:03:00Z", log}, 2, "", "needs a start element"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args[1]);
        const auto add = r.args[0] == "state" ? logtool::add_state : logtool::add_diff;
        const in_process_result res = run_in_process(add, r.args, dir);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.out, r.out);
        EXPECT_NE(res.err.find(r.err), string::npos) << res.err;
    }
}

// A batch too large for one request is refused whole, at the very size where
// the store's client refuses it.
TEST(State, RefusesABatchOverTheRequestLimitWhereTheStoreDoes) {
    private_store store;
    store.use_in_process();
    toolkit::CVelt api;
    api.handle = vlt_init();
    const auto value = [](size_t n) {
        toolkit::CElement v;
        v.set_string(string(n, 'x'));
        return v;
    };
    std::vector<api_status_t> statuses;
    const auto store_takes = [&](size_t n) {
        return api.set_leaves({"/big"}, {value(n)}, {}, statuses, "") == 0;
    };
    size_t taken = velt::wire::max_request - 256, refused = velt::wire::max_request;
    ASSERT_TRUE(store_takes(taken));
    ASSERT_FALSE(store_takes(refused));
    while (refused - taken > 1) {
        const size_t mid = (taken + refused) / 2;
        (store_takes(mid) ? taken : refused) = mid;
    }
    for (const size_t n : {taken, refused}) {
        event_batch_t b;
        b.cmd = CMD_SET_LEAF;
        b.events.emplace_back().path = "/big";
        b.events.back().value = value(n);
        logtool::store_state s;
        size_t failed = 1;
        EXPECT_EQ(s.apply(b, failed, true), n == taken ? 0 : VLT_EINVAL) << n;
        EXPECT_EQ(s.leaves(), n == taken ? 1 : 0);
    }
}

}  // namespace
