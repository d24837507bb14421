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
#include "log_io.h"
#include "workload.h"

namespace {

using namespace harness;
using logtool::nanos;

result toolbox(const private_store& store, const strings& args) {
    strings argv{ROREZUREDI_LOG_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {.env = {store.env()}});
}

// The batch times a log holds, as written.
strings batch_times(const string& log) {
    static const std::regex time_attr("<batch time=\"([0-9.]+)\"");
    strings out;
    for (std::sregex_iterator it(log.begin(), log.end(), time_attr), end; it != end; ++it) out.push_back((*it)[1]);
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
            out.push_back(line('~', path, e) + " -> " + (same_type ? new_typed.substr(old_type.size() + 1) : new_typed));
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
            ASSERT_EQ(toolbox(source, {"slice", "--to", plus_one_ns(times[k]), cap.log_path(), slice}).status, 0);
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

}  // namespace
