// retime: changes the pace of a log: gaps divided by a speed, long gaps
// capped, the axis shifted, batches sorted, the start set.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "log_cursor.h"
#include "log_writer.h"
#include "retimer.h"

namespace logtool {

namespace {

int refuse_below_zero(const input_log& in, nanos t, nanos out) {
    std::fprintf(stderr,
                 "rorezuredi-log: '%s': the batch at %s s would move to %s s, before the axis' 0; shift "
                 "by less\n",
                 in.display().c_str(), format_seconds(t).c_str(), format_seconds(out).c_str());
    return exit_refused;
}

int refuse_disorder(const input_log& in, long long index) {
    std::fprintf(stderr,
                 "rorezuredi-log: '%s' is not in time order (batch %lld lies before the one before it); "
                 "retime --sort puts it in order\n",
                 in.display().c_str(), index);
    return exit_refused;
}

}  // namespace

int run_retime(const retime_options& o) {
    log_rewrite io;
    if (!io.open(o.file, o.out)) return exit_usage;
    log_cursor& cursor = *io.cursor;
    const input_log& in = cursor.input();

    retimer clock(o.speed, o.max_gap, o.shift);
    log_writer writer(io.out);
    // The start written: --start, else the input's as the cursor met it.
    const auto start_of = [&o](std::optional<nanos> input_start) { return o.start ? o.start : input_start; };
    // Writes one batch at its new time; false when that time is below 0.
    const auto put = [&](log_batch& b, std::optional<nanos> start) {
        const nanos t = to_nanos(b.batch.time), when = clock.next(t);
        if (!to_timespec(when, b.batch.time)) return refuse_below_zero(in, t, when);
        writer.write(b.batch, start_of(start));
        return exit_ok;
    };

    if (o.sort) {
        // The one subcommand that holds the whole log: sorting needs it. The
        // start goes first when it came first, else last.
        std::vector<log_batch> all;
        for (log_batch b; cursor.next(b);) all.push_back(std::move(b));
        if (cursor.failed()) return cursor.refuse();
        std::stable_sort(all.begin(), all.end(), [](const log_batch& a, const log_batch& b) {
            return to_nanos(a.batch.time) < to_nanos(b.batch.time);
        });
        const std::optional<nanos> first = cursor.start_first() ? cursor.start() : std::nullopt;
        for (log_batch& b : all)
            if (const int status = put(b, first); status != exit_ok) return status;
    } else {
        log_batch b;
        nanos previous = 0;
        while (cursor.next(b)) {
            const nanos t = to_nanos(b.batch.time);
            if (b.index > 0 && t < previous) return refuse_disorder(in, b.index);
            previous = t;
            if (const int status = put(b, b.start); status != exit_ok) return status;
        }
        if (cursor.failed()) return cursor.refuse();
    }
    if (!writer.finish(start_of(cursor.start()))) return exit_usage;
    std::fprintf(stderr, "retime: wrote %lld batches, %lld events\n", writer.batches(), writer.events());
    return exit_ok;
}

}  // namespace logtool
