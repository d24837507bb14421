// merge: one log of the batches of several, in order of absolute time.
#include <memory>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "log_io.h"

namespace logtool {

namespace {

// One input with its next batch, waiting to be written.
struct merge_input {
    input_log in;
    std::unique_ptr<log_cursor> cursor;
    nanos start = 0;
    event_batch_t batch;
    nanos time = 0;  // the batch's time on its own axis
    long long batches = 0;
};

// Pulls the input's next batch; false at its end. Sets `disorder` when the
// batch lies before the one before it.
bool advance(merge_input& m, bool& disorder) {
    if (!m.cursor->next(m.batch)) return false;
    const nanos t = to_nanos(m.batch.time);
    disorder = m.batches > 0 && t < m.time;
    m.time = t;
    ++m.batches;
    return true;
}

int refuse_disorder(const merge_input& m) {
    std::fprintf(stderr,
                 "rorezuredi-log: '%s' is not in time order (batch %lld lies before the one before it); "
                 "sort it first: rorezuredi-log retime --sort %s OUT\n",
                 m.in.display().c_str(), m.batches - 1, m.in.name.c_str());
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
    // The cursors keep references to their inputs: the vector never grows.
    std::vector<merge_input> inputs(o.files.size());
    std::vector<const input_log*> opened;
    for (size_t i = 0; i < o.files.size(); ++i) {
        if (!open_input(o.files[i], inputs[i].in)) return exit_usage;
        opened.push_back(&inputs[i].in);
    }
    output_log out;
    if (!out.open(o.out, opened)) return exit_usage;

    // Each input's start must be known before its first batch: it places the
    // input's batches on the common axis.
    bool have_start = false;
    nanos out_start = 0;
    for (merge_input& m : inputs) {
        m.cursor = std::make_unique<log_cursor>(m.in);
        m.cursor->prime();
        if (m.cursor->failed()) return refuse(m.in, m.cursor->report());
        if (!m.cursor->start_first()) {
            std::fprintf(stderr,
                         "rorezuredi-log: '%s' has no start element before its first batch, so its batches "
                         "can't be placed in time; give it one: rorezuredi-log retime --start ISO-TIME %s "
                         "OUT\n",
                         m.in.display().c_str(), m.in.name.c_str());
            return exit_refused;
        }
        m.start = to_nanos(m.cursor->start());
        if (!have_start || m.start < out_start) out_start = m.start;
        have_start = true;
    }

    // The inputs by the absolute time of their next batch, ties by input order.
    using key = std::pair<nanos, size_t>;
    std::priority_queue<key, std::vector<key>, std::greater<>> queue;
    const auto pull = [&](size_t i) {
        merge_input& m = inputs[i];
        bool disorder = false;
        if (advance(m, disorder)) {
            if (disorder) return refuse_disorder(m);
            queue.emplace(m.start + m.time, i);
        } else if (m.cursor->failed()) {
            return refuse(m.in, m.cursor->report());
        }
        return exit_ok;
    };
    for (size_t i = 0; i < inputs.size(); ++i)
        if (const int status = pull(i); status != exit_ok) return status;

    write_log_head(out.stream());
    timespec start{};
    from_nanos(out_start, start);
    write_start(out.stream(), start);
    nanos last = -1;
    long long batches = 0, events = 0;
    while (!queue.empty()) {
        const auto [when, i] = queue.top();
        queue.pop();
        merge_input& m = inputs[i];
        // Times written strictly increase, so that replay keeps this order.
        nanos t = when - out_start;
        if (t <= last) t = last + 1;
        last = t;
        from_nanos(t, m.batch.time);
        write_batch(out.stream(), m.batch);
        ++batches;
        events += static_cast<long long>(m.batch.events.size());
        if (const int status = pull(i); status != exit_ok) return status;
    }
    write_log_tail(out.stream());
    if (!out.commit()) return exit_usage;
    std::fprintf(stderr, "merge: wrote %lld batches, %lld events from %zu logs\n", batches, events,
                 inputs.size());
    return exit_ok;
}

}  // namespace logtool
