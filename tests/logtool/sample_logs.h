// Logs written as capture writes them, for the toolbox's tests, and reading
// back what a subcommand wrote.
#ifndef LOGTOOL_SAMPLE_LOGS_H
#define LOGTOOL_SAMPLE_LOGS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "log_cursor.h"
#include "log_format.h"

namespace samples {

using namespace harness;
using logtool::nanos;
using logtool::ns_per_s;
using std::string;

struct log_shape {
    unsigned seed = 1;
    int batches = 40;
    nanos start = nanos(1700000000) * ns_per_s + 5000123;  // < 0: no start element
    nanos grid = 0;              // set: times are random multiples of it in any order (ties, disorder)
    bool empty_batches = false;  // now and then a batch whose events were all left out
    int start_after = 0;         // the start element follows this many batches
};

// Every action, typed values, text that needs escaping, gaps from 1 us to 2 s and now and then a minute.
inline void make_log(const string& path, const log_shape& s) {
    std::mt19937 rng(s.seed);
    FILE* f = std::fopen(path.c_str(), "w");
    write_log_head(f);
    const auto start = [&] { write_start(f, timespec{long(s.start / ns_per_s), long(s.start % ns_per_s)}); };
    nanos t = nanos(rng() % 3) * ns_per_s;
    const api_cmd_t cmds[] = {CMD_SET_LEAF, CMD_SET_LEAF,   CMD_SET_LEAF,
                              CMD_ADD_NODE, CMD_CLEAR_LEAF, CMD_REMOVE_NODE};
    toolkit::CElement v;
    v.timestamp() = timeval{1700000000, long(rng() % 1000000)};
    for (int b = 0; b < s.batches; ++b) {
        if (b == s.start_after && s.start >= 0) start();
        if (s.grid != 0)
            t = s.grid * nanos(rng() % 12);
        else if (b > 0)
            t += rng() % 8 == 0 ? nanos(60) * ns_per_s + rng() : 1000 + nanos(rng() % 2000000000);
        const api_cmd_t cmd = cmds[rng() % 6];
        write_batch_open(f, timespec{long(t / ns_per_s), long(t % ns_per_s)}, action_name(cmd));
        const string node = "/t" + std::to_string(s.seed) + "/n" + std::to_string(rng() % 6);
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
    }
    if (s.start_after >= s.batches && s.start >= 0) start();
    write_log_tail(f);
    std::fclose(f);
}

struct batch_seen {
    nanos time;
    string first_path;
    size_t events;
    bool operator==(const batch_seen&) const = default;
};
using batches = std::vector<batch_seen>;

// The batches with events, as rorezuredi's reader keeps them, and the start (-1: none).
inline batches read_back(const string& path, nanos* start = nullptr) {
    batches seen;
    std::optional<logtool::input_log> in = logtool::open_input(path);
    if (!in) return seen;
    logtool::log_cursor cursor(std::move(*in));
    for (logtool::log_batch b; cursor.next(b);)
        seen.push_back({logtool::to_nanos(b.batch.time), b.batch.events[0].path, b.batch.events.size()});
    EXPECT_FALSE(cursor.failed()) << path;
    if (start != nullptr) *start = cursor.start().value_or(-1);
    return seen;
}

// Runs rorezuredi-log; the test fails unless it exits with `status`.
inline result tool(strings args, int status = 0) {
    args.insert(args.begin(), ROREZUREDI_LOG_BIN);
    result r = run(args);
    EXPECT_EQ(r.status, status) << args[1] << " " << r.err;
    return r;
}

}  // namespace samples

#endif
