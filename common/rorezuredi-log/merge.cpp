// merge: one log of the batches of several, in order of absolute time.
#include <algorithm>
#include <memory>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "log_cursor.h"
#include "log_writer.h"

namespace logtool {

namespace {

// One input with its next batch, waiting to be written.
struct merge_input {
    std::unique_ptr<log_cursor> cursor;
    nanos start = 0;
    log_batch next;
    nanos time = 0;  // the batch's time on its own axis
};

int refuse_disorder(const log_cursor& c) {
    std::fprintf(stderr,
                 "rorezuredi-log: '%s' is not in time order (batch %lld lies before the one before it); "
                 "sort it first: rorezuredi-log retime --sort %s OUT\n",
                 c.input().display().c_str(), c.batches() - 1, c.input().name.c_str());
    return exit_refused;
}

int refuse_no_start(const log_cursor& c) {
    std::fprintf(stderr,
                 "rorezuredi-log: '%s' has no start element, so its batches can't be placed in time; give it "
                 "one: rorezuredi-log retime --start ISO-TIME %s OUT\n",
                 c.input().display().c_str(), c.input().name.c_str());
    return exit_refused;
}

}  // namespace

int run_merge(const merge_options& o) {
    int stdin_inputs = 0;
    for (const std::string& f : o.files) stdin_inputs += f == "-" ? 1 : 0;
    if (stdin_inputs > 1) {
        std::fputs("rorezuredi-log: standard input ('-') can be only one of the inputs\n", stderr);
        return exit_usage;
    }
    std::vector<input_log> opened;
    for (const std::string& f : o.files) {
        std::optional<input_log> in = open_input(f);
        if (!in) return exit_usage;
        opened.push_back(std::move(*in));
    }
    std::vector<const input_log*> names(opened.size());
    std::transform(opened.begin(), opened.end(), names.begin(), [](const input_log& in) { return &in; });
    output_file out;
    if (!out.open(o.out, names)) return exit_usage;

    // Each input's start places its batches on the common axis, whose start
    // is the earliest; an input whose start comes late is read ahead to it.
    std::vector<merge_input> inputs(opened.size());
    std::optional<nanos> out_start;
    for (std::size_t i = 0; i < opened.size(); ++i) {
        merge_input& m = inputs[i];
        m.cursor = std::make_unique<log_cursor>(std::move(opened[i]));
        const std::optional<nanos> start = m.cursor->find_start();
        if (m.cursor->failed()) return m.cursor->refuse();
        if (!start) return refuse_no_start(*m.cursor);
        m.start = *start;
        out_start = std::min(out_start.value_or(m.start), m.start);
    }

    // The inputs by the absolute time of their next batch, ties by input order.
    using key = std::pair<nanos, std::size_t>;
    std::priority_queue<key, std::vector<key>, std::greater<>> queue;
    const auto pull = [&](std::size_t i) {
        merge_input& m = inputs[i];
        const nanos before = m.time;
        if (!m.cursor->next(m.next)) return m.cursor->failed() ? m.cursor->refuse() : exit_ok;
        m.time = to_nanos(m.next.batch.time);
        if (m.next.index > 0 && m.time < before) return refuse_disorder(*m.cursor);
        queue.emplace(m.start + m.time, i);
        return exit_ok;
    };
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (const int status = pull(i); status != exit_ok) return status;

    log_writer writer(out);
    nanos last = -1;
    while (!queue.empty()) {
        const auto [when, i] = queue.top();
        queue.pop();
        merge_input& m = inputs[i];
        // Times written strictly increase, so that replay keeps this order.
        const nanos t = std::max(when - *out_start, last + 1);
        last = t;
        to_timespec(t, m.next.batch.time);
        writer.write(m.next.batch, out_start);
        if (const int status = pull(i); status != exit_ok) return status;
    }
    if (!writer.finish(out_start)) return exit_usage;
    std::fprintf(stderr, "merge: wrote %lld batches, %lld events from %zu logs\n", writer.batches(),
                 writer.events(), inputs.size());
    return exit_ok;
}

}  // namespace logtool
