// check: will rorezuredi -l accept this log? The log is read by the tool's
// own reader, so the verdict and the reader's messages are the reader's; on
// top come the position and the XML parser's reason of the first error,
// whether the file was merely cut short, and warnings about what replay
// would do with an accepted log.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "log_cursor.h"
#include "log_stats.h"

namespace logtool {

namespace {

// What the batches look like, in file order: the shared summary of the
// batches replay keeps, and the gaps longer than the limit.
struct batch_stats {
    batch_summary summary{0};
    long long long_gaps = 0;  // longer than the limit, between neighbours
    long long longest_gap_before = -1;
    nanos longest_gap = 0;

    void add(const event_batch_t& b, nanos max_gap) {
        const nanos t = to_nanos(b.time);
        const long long index = summary.batches;
        const nanos gap = t - summary.previous;
        if (index > 0 && gap > max_gap) {
            ++long_gaps;
            if (gap > longest_gap) {
                longest_gap = gap;
                longest_gap_before = index;
            }
        }
        summary.add(b);
    }
};

std::string plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::vector<std::string> warnings_of(const batch_stats& s, const log_read_report_t& r, nanos max_gap) {
    std::vector<std::string> w;
    const batch_summary& b = s.summary;
    if (b.out_of_order > 0)
        w.push_back(plural(b.out_of_order, "batch", "batches") + " out of time order (the first: batch " +
                    std::to_string(b.first_out_of_order) + " at " + short_seconds(b.first_out_of_order_time) +
                    " s after one at " + short_seconds(b.first_out_of_order_after) +
                    " s); replay sorts them by time");
    if (b.shared_time > 0)
        w.push_back(plural(b.shared_time, "batch shares its", "batches share their") +
                    " time with the batch next to it (the first: batch " + std::to_string(b.first_shared) +
                    " at " + short_seconds(b.first_shared_time) +
                    " s); replay's order among batches of one time is not defined");
    if (b.batches > 0 && b.earliest > max_gap)
        w.push_back("the earliest batch is at " + short_seconds(b.earliest) +
                    " s; a replay with -d waits that long before it");
    if (s.long_gaps > 0)
        w.push_back(plural(s.long_gaps, "gap", "gaps") + " longer than " + short_seconds(max_gap) +
                    " s (the longest: " + short_seconds(s.longest_gap) + " s before batch " +
                    std::to_string(s.longest_gap_before) + "); a replay with -d waits that long");
    // The reader's own counts: what replay skips or drops while reading.
    struct counted {
        long n;
        const char *one, *many, *then;
    };
    const counted counts[] = {
        {r.dropped_events, "event's value does", "events' values do",
         " not convert to the type given; replay drops them"},
        {r.unknown_tags, "unknown element", "unknown elements", "; replay ignores them"},
        {r.unknown_attributes, "unknown attribute", "unknown attributes", "; replay ignores them"},
        {r.ignored_types, "event has", "events have",
         " a type outside a CMD_SET_LEAF batch; replay ignores it"},
        {r.unexpected_end_tags, "end tag closes", "end tags close",
         " nothing of its own; replay ignores them"},
        {r.invalid_event_times, "event time does", "event times do",
         " not read; replay gives those events no time"},
    };
    for (const counted& c : counts)
        if (c.n > 0) w.push_back(plural(c.n, c.one, c.many) + c.then);
    return w;
}

nlohmann::ordered_json json_of(const std::string& file, const log_read_report_t& r, const batch_stats& s,
                               const std::vector<std::string>& warnings) {
    nlohmann::ordered_json j;
    j["file"] = file;
    j["verdict"] = r.failed() ? "refused" : "accepted";
    if (!r.failed()) {
        j["position"] = nullptr;
        j["reason"] = nullptr;
        j["refused_by"] = nullptr;
    } else {
        j["position"] = {{"line", r.line}, {"column", r.column}, {"byte", r.offset}};
        j["reason"] = r.reason;
        j["refused_by"] = r.end == LOG_READ_BROKEN_RULE ? "reader rule" : "XML parser";
    }
    j["cut_short"] = r.end == LOG_READ_CUT_SHORT;
    j["complete_batches"] = r.batches_closed;
    j["counts"] = {{"bytes_read", r.bytes},
                   {"batches", s.summary.batches},
                   {"events", s.summary.events},
                   {"empty_batches", r.batches_closed - s.summary.batches},
                   {"span_s", short_seconds(s.summary.span())},
                   {"start_seen", r.start_seen},
                   {"out_of_order_batches", s.summary.out_of_order},
                   {"batches_sharing_a_time", s.summary.shared_time},
                   {"long_gaps", s.long_gaps},
                   {"dropped_events", r.dropped_events},
                   {"unknown_elements", r.unknown_tags},
                   {"unknown_attributes", r.unknown_attributes},
                   {"ignored_types", r.ignored_types},
                   {"unexpected_end_tags", r.unexpected_end_tags},
                   {"invalid_event_times", r.invalid_event_times}};
    j["warnings"] = warnings;
    return j;
}

}  // namespace

int run_check(const check_options& o) {
    std::optional<input_log> in = open_input(o.file);
    if (!in) return exit_usage;
    const std::string name = in->display();
    log_cursor cursor(std::move(*in));
    batch_stats stats;
    log_batch b;
    while (cursor.next(b)) stats.add(b.batch, o.max_gap);
    const log_read_report_t& r = cursor.report();
    std::vector<std::string> warnings;
    if (!r.failed()) warnings = warnings_of(stats, r, o.max_gap);

    if (o.json) {
        std::printf("%s\n", json_of(name, r, stats, warnings).dump(2).c_str());
    } else if (!r.failed()) {
        std::printf("%s: %s, %s, span %s s\n", name.c_str(),
                    plural(stats.summary.batches, "batch", "batches").c_str(),
                    plural(stats.summary.events, "event", "events").c_str(),
                    short_seconds(stats.summary.span()).c_str());
        for (const std::string& w : warnings) std::printf("%s: warning: %s\n", name.c_str(), w.c_str());
    } else {
        std::printf("%s\n", refusal_line(name, r).c_str());
        const std::string kept = plural(r.batches_closed, "complete batch", "complete batches");
        if (r.end == LOG_READ_CUT_SHORT)
            std::printf("%s: cut short: it ends inside an open element; repair keeps its %s\n", name.c_str(),
                        kept.c_str());
        else
            std::printf("%s: broken: %s; repair keeps the %s before the error\n", name.c_str(),
                        r.end == LOG_READ_BROKEN_RULE ? "the reader refuses it" : "it is not well-formed XML",
                        kept.c_str());
    }
    if (r.failed()) return exit_refused;
    return o.strict && !warnings.empty() ? exit_refused : exit_ok;
}

}  // namespace logtool
