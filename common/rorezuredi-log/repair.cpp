// repair: writes the part of a log that replay can use as a well-formed log:
// the head, the start element if one was read, and every batch that closed
// before the first error, as the reader read it. Nothing is invented: what
// follows the last complete batch is dropped.
#include <string>

#include "commands.h"
#include "log_io.h"

namespace logtool {

namespace {

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

int run_repair(const repair_options& o) {
    input_log in;
    if (!open_input(o.file, in)) return exit_usage;
    output_log out;
    if (!out.open(o.out, {&in})) return exit_usage;
    FILE* f = out.stream();

    write_log_head(f);
    // The start element goes where the reader met it: before the first batch
    // that follows it. A later start element of another time is written too,
    // so that the log read back ends with the same start as this one.
    bool start_written = false;
    timespec written{0, 0};
    const auto put_start = [&](bool seen, const timespec& start) {
        if (!seen || (start_written && same_time(start, written))) return;
        write_start(f, start);
        start_written = true;
        written = start;
    };
    long long batches = 0, events = 0;
    const read_result res = read_log(in, [&](event_batch_t& b) {
        put_start(log_read_report.start_seen, program_state.start_time);
        write_batch(f, b);
        ++batches;
        events += static_cast<long long>(b.events.size());
    });
    put_start(res.report.start_seen, res.start);
    write_log_tail(f);
    if (!out.commit()) return exit_usage;

    const log_read_report_t& r = res.report;
    const std::string kept = std::to_string(batches) + (batches == 1 ? " batch, " : " batches, ") +
                             std::to_string(events) + (events == 1 ? " event" : " events");
    if (res.ok) {
        std::fprintf(stderr, "repair: kept all %s; the log had no error\n", kept.c_str());
        return exit_ok;
    }
    const long long end = batches > 0 ? r.batch_end : 0;
    if (in.size >= 0)
        std::fprintf(stderr, "repair: kept %s; dropped %lld byte%s from byte %lld on\n", kept.c_str(),
                     in.size - end, in.size - end == 1 ? "" : "s", end);
    else
        std::fprintf(stderr, "repair: kept %s; dropped everything from byte %lld on\n", kept.c_str(), end);
    std::fprintf(stderr, "repair: the first error: %s\n", refusal_line(in.display(), r).c_str());
    return exit_ok;
}

}  // namespace logtool
