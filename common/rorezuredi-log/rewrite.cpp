// rewrite: moves the events of subtrees to other paths (OLD=NEW maps, the
// longest OLD winning), so that a capture fits a store whose tree differs.
#include <string>
#include <vector>

#include "commands.h"
#include "log_io.h"
#include "path_map.h"

namespace logtool {

int run_rewrite(const rewrite_options& o) {
    path_map map;
    if (!build_path_map(o.maps, "--map", map)) return exit_usage;

    input_log in;
    if (!open_input(o.file, in)) return exit_usage;
    output_log out;
    if (!out.open(o.out, {&in})) return exit_usage;

    log_cursor cursor(in);
    cursor.prime();
    write_log_head(out.stream());
    // The start goes before the first batch when it was read before it, else
    // last; the times are not touched.
    const bool start_first = cursor.start_seen();
    if (start_first) write_start(out.stream(), cursor.start());
    std::vector<long long> per_rule(map.size());
    long long batches = 0, events = 0;
    event_batch_t batch;
    while (cursor.next(batch)) {
        map.apply(batch, per_rule);
        write_batch(out.stream(), batch);
        ++batches;
        events += static_cast<long long>(batch.events.size());
    }
    if (cursor.failed()) return refuse(in, cursor.report());
    if (!start_first && cursor.start_seen()) write_start(out.stream(), cursor.start());
    write_log_tail(out.stream());
    if (!out.commit()) return exit_usage;
    std::fprintf(stderr, "rewrite: wrote %lld batches, %lld events\n", batches, events);
    for (size_t i = 0; i < map.size(); ++i)
        std::fprintf(stderr, "rewrite: %s: %lld events\n", rule_text(map.rule(i)).c_str(), per_rule[i]);
    return exit_ok;
}

}  // namespace logtool
