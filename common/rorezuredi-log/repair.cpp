// repair: writes the part of a log that replay can use as a well-formed log:
// the head, the start element, and every batch that closed before the first
// error, as the reader read it (those without events too). Nothing is invented: what follows the last
// complete batch is dropped.
#include <string>

#include "commands.h"
#include "log_cursor.h"
#include "log_writer.h"

namespace logtool {

int run_repair(const repair_options& o) {
    log_rewrite io;
    if (!io.open(o.file, o.out, true)) return exit_usage;
    log_cursor& cursor = *io.cursor;
    const input_log& in = cursor.input();

    log_writer writer(io.out);
    log_batch b;
    while (cursor.next(b)) writer.write(b.batch, b.start);
    if (!writer.finish(cursor.start())) return exit_usage;

    const log_read_report_t& r = cursor.report();
    const long long batches = writer.batches(), events = writer.events();
    const std::string kept = std::to_string(batches) + (batches == 1 ? " batch, " : " batches, ") +
                             std::to_string(events) + (events == 1 ? " event" : " events");
    if (!r.failed()) {
        std::fprintf(stderr, "repair: kept all %s; the log had no error\n", kept.c_str());
        return exit_ok;
    }
    const long long end = r.batches_closed > 0 ? r.batch_end : 0;
    if (in.size >= 0)
        std::fprintf(stderr, "repair: kept %s; dropped %lld byte%s from byte %lld on\n", kept.c_str(),
                     in.size - end, in.size - end == 1 ? "" : "s", end);
    else
        std::fprintf(stderr, "repair: kept %s; dropped everything from byte %lld on\n", kept.c_str(), end);
    std::fprintf(stderr, "repair: the first error: %s\n", refusal_line(in.display(), r).c_str());
    return exit_ok;
}

}  // namespace logtool
