// slice: keeps the batches in a time window and an index range, and within
// them the events that path rules and actions keep.
#include "commands.h"
#include "log_cursor.h"
#include "log_writer.h"

namespace logtool {

int run_slice(const slice_options& o) {
    log_rewrite io;
    if (!io.open(o.file, o.out)) return exit_usage;
    log_cursor& cursor = *io.cursor;

    // ISO times are placed on the axis through the log's start (the first
    // read; a log whose start comes late is read ahead to it).
    const std::optional<nanos> start = o.select.needs_start() ? cursor.find_start() : std::nullopt;
    if (o.select.needs_start() && !start) {
        if (cursor.failed()) return cursor.refuse();
        std::fprintf(
            stderr,
            "rorezuredi-log: '%s' has no start element, so ISO times can't be placed on it; give the "
            "times in seconds\n",
            cursor.input().display().c_str());
        return exit_refused;
    }

    // --rebase moves the axis so that the first kept batch is at 0, and the
    // start by as much.
    log_writer writer(io.out);
    std::optional<nanos> shift;
    log_batch b;
    while (cursor.next(b)) {
        if (!o.select.keeps(b, start.value_or(0))) continue;
        if (!shift) shift = o.rebase ? to_nanos(b.batch.time) : 0;
        to_timespec(to_nanos(b.batch.time) - *shift, b.batch.time);
        writer.write(b.batch, shifted(b.start, *shift));
    }
    if (cursor.failed()) return cursor.refuse();
    if (!writer.finish(shifted(cursor.start(), shift.value_or(0)))) return exit_usage;
    std::fprintf(stderr, "slice: kept %lld batches, %lld events\n", writer.batches(), writer.events());
    return exit_ok;
}

}  // namespace logtool
