// slice: keeps the batches in a time window and an index range, and within
// them the events that path rules and actions keep.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "log_io.h"

namespace logtool {

int run_slice(const slice_options& o) {
    time_arg from, to;
    std::string error;
    if (!o.from_text.empty()) parse_time_arg(o.from_text, from, error);
    if (!o.to_text.empty()) parse_time_arg(o.to_text, to, error);
    long long first_index = 0, end_index = -1;
    if (!o.batches_text.empty()) parse_range(o.batches_text, first_index, end_index);
    std::vector<api_cmd_t> actions;
    for (const std::string& a : o.actions) actions.push_back(action_code(a.c_str()));
    install_filter(o.filter);

    input_log in;
    if (!open_input(o.file, in)) return exit_usage;
    output_log out;
    if (!out.open(o.out, {&in})) return exit_usage;

    log_cursor cursor(in);
    cursor.prime();
    const bool absolute = (from.given && from.absolute) || (to.given && to.absolute);
    if (absolute && !cursor.start_seen()) {
        std::fprintf(stderr,
                     "rorezuredi-log: '%s' has no start element before its first batch, so ISO times can't "
                     "be placed on it; give the times in seconds\n",
                     in.display().c_str());
        return exit_refused;
    }
    const nanos start = to_nanos(cursor.start());
    const nanos from_ns = !from.given ? 0 : from.absolute ? from.value - start : from.value;
    const nanos to_ns = !to.given ? 0 : to.absolute ? to.value - start : to.value;

    write_log_head(out.stream());
    bool head_done = false;
    nanos shift = 0;
    long long index = -1, kept = 0, events = 0;
    event_batch_t batch;
    while (cursor.next(batch)) {
        ++index;
        if (index < first_index || (end_index >= 0 && index >= end_index)) continue;
        const nanos t = to_nanos(batch.time);
        if ((from.given && t < from_ns) || (to.given && t >= to_ns)) continue;
        if (!actions.empty() && std::find(actions.begin(), actions.end(), batch.cmd) == actions.end())
            continue;
        if (!filter_batch(batch)) continue;
        if (!head_done) {
            // The start element goes before the first batch; --rebase moves the
            // axis so that this batch is at 0 and the start by as much.
            head_done = true;
            if (o.rebase) shift = t;
            if (cursor.start_seen()) {
                timespec s{};
                from_nanos(start + shift, s);
                write_start(out.stream(), s);
            }
        }
        from_nanos(t - shift, batch.time);
        write_batch(out.stream(), batch);
        ++kept;
        events += static_cast<long long>(batch.events.size());
    }
    if (cursor.failed()) return refuse(in, cursor.report());
    if (!head_done && cursor.start_seen()) write_start(out.stream(), cursor.start());
    write_log_tail(out.stream());
    if (!out.commit()) return exit_usage;
    std::fprintf(stderr, "slice: kept %lld batches, %lld events\n", kept, events);
    return exit_ok;
}

}  // namespace logtool
