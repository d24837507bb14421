// Logs written through the log-format module as capture writes them, and
// read back through the tool's reader.
#ifndef LOGTOOL_LOG_MAKER_H
#define LOGTOOL_LOG_MAKER_H

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "log_format.h"
#include "log_io.h"

using logtool::nanos;
using logtool::ns_per_s;

struct log_shape {
    unsigned seed = 1;
    int batches = 40;
    nanos start = nanos(1700000000) * ns_per_s + 5000123;
    std::string prefix = "/t";
    nanos grid = 0;  // set: times are random multiples of it in any order (ties, disorder)
    bool with_start = true;
    bool empty_batches = false;  // now and then a batch whose events were all left out
};

// Writes to `path` every action, typed values, text that needs escaping, gaps from 1 us to
// 2 s and now and then a minute. `ends` gets the offset just past the root's
// opening tag, the start and every batch.
inline void make_log(const std::string& path, const log_shape& s, std::vector<size_t>* ends = nullptr) {
    std::mt19937 rng(s.seed);
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    const auto mark = [&] {
        if (ends != nullptr) ends->push_back(size_t(std::ftell(f)));
    };
    write_log_head(f);
    mark();
    if (s.with_start) write_start(f, timespec{long(s.start / ns_per_s), long(s.start % ns_per_s)});
    mark();
    nanos t = nanos(rng() % 3) * ns_per_s;
    const api_cmd_t cmds[] = {CMD_SET_LEAF, CMD_SET_LEAF,   CMD_SET_LEAF,
                              CMD_ADD_NODE, CMD_CLEAR_LEAF, CMD_REMOVE_NODE};
    toolkit::CElement v;
    v.timestamp() = timeval{1700000000, long(rng() % 1000000)};
    for (int b = 0; b < s.batches; ++b) {
        if (s.grid != 0)
            t = s.grid * nanos(rng() % 12);
        else if (b > 0)
            t += rng() % 8 == 0 ? nanos(60) * ns_per_s + rng() : 1000 + nanos(rng() % 2000000000);
        const api_cmd_t cmd = cmds[rng() % 6];
        write_batch_open(f, timespec{long(t / ns_per_s), long(t % ns_per_s)}, action_name(cmd));
        const std::string node = s.prefix + "/n" + std::to_string(rng() % 6);
        const int n = s.empty_batches && rng() % 4 == 0 ? 0 : 1 + int(rng() % 4);
        for (int e = 0; e < n; ++e) {
            switch (rng() % 5) {
                case 0: v.set_uint32(rng()); break;
                case 1: v.set_bool(rng() % 2 == 0); break;
                case 2: v.set_int32(-int32_t(rng() % 100000)); break;
                case 3: v.set_double(double(rng() % 1000) / 8); break;
                default: v.set_string("b" + std::to_string(b) + " <&> \"q\"\n\r\n\t\xc3\x9c"); break;
            }
            const bool leaf = cmd == CMD_SET_LEAF || cmd == CMD_CLEAR_LEAF;
            write_event(f, cmd, leaf ? node + "/l<&>\"" + std::to_string(e) : node, v);
            if (!leaf) break;
        }
        write_batch_close(f);
        mark();
    }
    write_log_tail(f);
    std::fclose(f);
}

struct batch_seen {
    nanos time;
    std::string first_path;
    size_t events;
    bool operator==(const batch_seen&) const = default;
};
struct log_seen {
    nanos start = -1;
    std::vector<batch_seen> batches;
};

// The batches with events, as rorezuredi's reader keeps them.
inline log_seen read_back(const std::string& path) {
    logtool::input_log in;
    log_seen seen;
    if (!logtool::open_input(path, in)) return seen;
    const logtool::read_result r = logtool::read_log(in, [&](event_batch_t& b) {
        if (!b.events.empty())
            seen.batches.push_back({logtool::to_nanos(b.time), b.events[0].path, b.events.size()});
    });
    EXPECT_TRUE(r.ok) << path;
    if (r.report.start_seen) seen.start = logtool::to_nanos(r.start);
    return seen;
}

#endif
