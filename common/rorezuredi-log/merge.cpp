// merge: one log of the batches of several, in order of absolute time.
#include <algorithm>

#include "commands.h"
#include "log_merge.h"
#include "log_writer.h"

namespace logtool {

int run_merge(const merge_options& o) {
    merged_logs logs;
    if (logs.open(o.files) != exit_ok) return exit_usage;
    output_file out;
    if (!out.open(o.out, logs.inputs())) return exit_usage;
    if (const int status = logs.begin(); status != exit_ok) return status;

    // The common axis starts at the earliest start.
    const std::optional<nanos> start = logs.origin();
    log_writer writer(out);
    nanos last = -1, at = 0;
    std::size_t log = 0;
    log_batch b;
    while (logs.next(b, log, at)) {
        // Times written strictly increase, so that replay keeps this order.
        last = std::max(at, last + 1);
        to_timespec(last, b.batch.time);
        writer.write(b.batch, start);
    }
    if (logs.status() != exit_ok) return logs.status();
    if (!writer.finish(start)) return exit_usage;
    std::fprintf(stderr, "merge: wrote %lld batches, %lld events from %zu logs\n", writer.batches(),
                 writer.events(), logs.size());
    return exit_ok;
}

}  // namespace logtool
