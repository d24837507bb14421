// repeat: N copies of a log one after the other, each shifted past the one
// before it, and with --map-each each on a subtree of its own: one captured
// burst becomes a load test. It reads its input once per copy, so that its
// memory stays flat.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "log_io.h"
#include "path_map.h"

namespace logtool {

namespace {

int refuse_unsaved(const std::string& name) {
    std::fprintf(stderr,
                 "rorezuredi-log: repeat reads its input once per copy, and '%s' can be read only once; "
                 "save the log to a file first\n",
                 name == "-" ? "standard input" : name.c_str());
    return exit_usage;
}

// The same file as the first pass read: else the copies would differ.
bool same_file(const input_log& a, const input_log& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size;
}

int refuse_changed(const input_log& in) {
    std::fprintf(stderr, "rorezuredi-log: '%s' changed while repeat read it; run it again\n",
                 in.display().c_str());
    return exit_refused;
}

// The rules of --map-each for copy `k`.
path_map map_for_copy(const path_map& templates, long long k) {
    path_map map;
    std::string unused;
    for (size_t i = 0; i < templates.size(); ++i) map.add(for_copy(templates.rule(i), k), unused);
    return map;
}

}  // namespace

int run_repeat(const repeat_options& o) {
    nanos gap = ns_per_s;
    if (!o.gap_text.empty()) parse_seconds(o.gap_text, gap);
    path_map templates;
    if (!build_path_map(o.map_each, "--map-each", templates)) return exit_usage;
    if (o.file == "-") return refuse_unsaved(o.file);

    input_log first;
    if (!open_input(o.file, first)) return exit_usage;
    if (!first.regular) return refuse_unsaved(o.file);
    output_log out;
    if (!out.open(o.out, {&first})) return exit_usage;

    write_log_head(out.stream());
    bool start_first = false;
    timespec start{0, 0};
    bool start_seen = false;
    nanos first_time = 0, last = -1;
    long long per_copy = 0, batches = 0, events = 0;
    std::vector<long long> unused;
    for (long long k = 0; k < o.copies; ++k) {
        input_log again;
        if (k > 0 && !open_input(o.file, again)) return exit_usage;
        if (k > 0 && !same_file(first, again)) return refuse_changed(again);
        input_log& in = k == 0 ? first : again;
        log_cursor cursor(in);
        if (k == 0) {
            cursor.prime();
            start_first = cursor.start_seen();
            if (start_first) write_start(out.stream(), cursor.start());
        }
        const path_map map = map_for_copy(templates, k);
        // Copy k begins `gap` after the last batch of copy k-1.
        const nanos offset = k == 0 ? 0 : last + gap - first_time;
        long long index = 0;
        nanos previous = 0;
        event_batch_t batch;
        while (cursor.next(batch)) {
            const nanos t = to_nanos(batch.time);
            if (index > 0 && t < previous) {
                std::fprintf(stderr,
                             "rorezuredi-log: '%s' is not in time order (batch %lld lies before the one "
                             "before it); sort it first: rorezuredi-log retime --sort %s OUT\n",
                             in.display().c_str(), index, in.name.c_str());
                return exit_refused;
            }
            if (k == 0 && index == 0) first_time = t;
            previous = t;
            ++index;
            // Times written strictly increase, so that replay keeps this order.
            const nanos when = std::max(t + offset, last + 1);
            if (!from_nanos(when, batch.time)) {
                std::fprintf(stderr,
                             "rorezuredi-log: copy %lld of '%s' would go past the times a log holds\n", k,
                             in.display().c_str());
                return exit_refused;
            }
            last = when;
            map.apply(batch, unused);
            write_batch(out.stream(), batch);
            events += static_cast<long long>(batch.events.size());
        }
        if (cursor.failed()) return refuse(in, cursor.report());
        if (k == 0) {
            per_copy = index;
            start_seen = cursor.start_seen();
            start = cursor.start();
        } else if (index != per_copy) {
            return refuse_changed(in);
        }
        batches += index;
        if (per_copy == 0) break;  // nothing to repeat
    }
    if (!start_first && start_seen) write_start(out.stream(), start);
    write_log_tail(out.stream());
    if (!out.commit()) return exit_usage;
    std::fprintf(stderr, "repeat: wrote %lld copies, %lld batches, %lld events\n", o.copies, batches, events);
    return exit_ok;
}

}  // namespace logtool
