// retime: changes the pace of a log: gaps divided by a speed, long gaps
// capped, short gaps lengthened, the axis shifted, batches sorted, the start
// set.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "log_io.h"

namespace logtool {

namespace {

// Lengthens a gap shorter than `min_gap` (0: none) before `out` to exactly
// `min_gap`; true when it moved `out`.
bool lengthen_short_gap(nanos& out, nanos last, nanos min_gap) {
    if (min_gap == 0 || out - last >= min_gap) return false;
    out = last + min_gap;
    return true;
}

// Output times, batch by batch. Each one is computed from the input times
// exactly (no sum of rounded gaps): out = ref_out + round((t - ref_in) / speed),
// with the reference moved to a batch whose gap was capped or lengthened, so
// that later batches move by as much and the spacing after it never drifts.
// The speed applies first, then the cap, then the minimum gap.
class retimer {
public:
    retimer(nanos speed_billionths, bool cap, nanos max_gap, nanos min_gap, nanos shift)
        : m_speed(speed_billionths), m_cap(cap), m_max_gap(max_gap), m_min_gap(min_gap), m_shift(shift) {}

    nanos next(nanos t) {
        nanos out = 0;
        if (!m_started) {
            m_started = true;
            out = t + m_shift;
            m_ref_in = t;
            m_ref_out = out;
        } else {
            out = m_ref_out + scaled(t - m_ref_in);
            if (m_cap && out - m_last > m_max_gap) {
                out = m_last + m_max_gap;
                m_ref_in = t;
                m_ref_out = out;
            }
            if (lengthen_short_gap(out, m_last, m_min_gap)) {
                m_ref_in = t;
                m_ref_out = out;
            }
            // Times written strictly increase, so that replay keeps this order.
            if (out <= m_last) out = m_last + 1;
        }
        m_last = out;
        return out;
    }

private:
    // d / speed, rounded to the nearest nanosecond (halves away from zero).
    nanos scaled(nanos d) const {
        if (m_speed == ns_per_s) return d;
        const nanos num = d * ns_per_s;
        return (num + m_speed / 2) / m_speed;
    }

    nanos m_speed;
    bool m_cap;
    nanos m_max_gap;
    nanos m_min_gap;
    nanos m_shift;
    bool m_started = false;
    nanos m_ref_in = 0, m_ref_out = 0, m_last = 0;
};

void refuse_below_zero(const input_log& in, nanos t, nanos out) {
    std::fprintf(stderr,
                 "rorezuredi-log: '%s': the batch at %s s would move to %s s, before the axis' 0; shift "
                 "by less\n",
                 in.display().c_str(), format_seconds(t).c_str(), format_seconds(out).c_str());
}

}  // namespace

int run_retime(const retime_options& o) {
    nanos speed = ns_per_s, max_gap = 0, min_gap = 0, shift = 0;
    if (!o.speed_text.empty()) parse_seconds(o.speed_text, speed);
    if (!o.max_gap_text.empty()) parse_seconds(o.max_gap_text, max_gap);
    if (!o.min_gap_text.empty()) parse_seconds(o.min_gap_text, min_gap);
    if (!o.max_gap_text.empty() && max_gap < min_gap) {
        std::fputs("rorezuredi-log: --max-gap is below --min-gap; no gap could meet both\n", stderr);
        return exit_usage;
    }
    if (!o.shift_text.empty()) parse_seconds(o.shift_text, shift);
    time_arg new_start;
    std::string error;
    if (!o.start_text.empty()) parse_time_arg(o.start_text, new_start, error);

    input_log in;
    if (!open_input(o.file, in)) return exit_usage;
    output_log out;
    if (!out.open(o.out, {&in})) return exit_usage;

    retimer clock(speed, !o.max_gap_text.empty(), max_gap, min_gap, shift);
    bool start_written = false;
    long long batches = 0, events = 0;
    const auto write_head_start = [&](bool known, const timespec& input_start) {
        timespec s = input_start;
        if (new_start.given) from_nanos(new_start.value, s);
        if (known || new_start.given) write_start(out.stream(), s);
        start_written = known || new_start.given;
    };
    // Writes one batch at its new time; false when that time is below 0.
    const auto put = [&](event_batch_t& batch) {
        const nanos t = to_nanos(batch.time);
        const nanos when = clock.next(t);
        if (!from_nanos(when, batch.time)) {
            refuse_below_zero(in, t, when);
            return false;
        }
        write_batch(out.stream(), batch);
        ++batches;
        events += static_cast<long long>(batch.events.size());
        return true;
    };

    write_log_head(out.stream());
    if (o.sort) {
        // The one subcommand that holds the whole log: sorting needs it.
        std::vector<event_batch_t> all;
        const read_result r = read_log(in, [&](event_batch_t& b) {
            if (!b.events.empty()) all.push_back(std::move(b));
        });
        if (!r.ok) return refuse(in, r.report);
        std::stable_sort(all.begin(), all.end(), [](const event_batch_t& a, const event_batch_t& b) {
            return to_nanos(a.time) < to_nanos(b.time);
        });
        write_head_start(r.report.start_seen, r.start);
        for (event_batch_t& b : all)
            if (!put(b)) return exit_refused;
    } else {
        log_cursor cursor(in);
        cursor.prime();
        event_batch_t batch;
        nanos previous = 0;
        long long index = 0;
        while (cursor.next(batch)) {
            const nanos t = to_nanos(batch.time);
            if (index > 0 && t < previous) {
                std::fprintf(stderr,
                             "rorezuredi-log: '%s' is not in time order (batch %lld lies before the one "
                             "before it); retime --sort puts it in order\n",
                             in.display().c_str(), index);
                return exit_refused;
            }
            previous = t;
            if (index == 0) write_head_start(cursor.start_seen(), cursor.start());
            ++index;
            if (!put(batch)) return exit_refused;
        }
        if (cursor.failed()) return refuse(in, cursor.report());
        // A start read only after the batches (or in a log without any) goes last.
        if (!start_written) write_head_start(cursor.start_seen(), cursor.start());
    }
    write_log_tail(out.stream());
    if (!out.commit()) return exit_usage;
    std::fprintf(stderr, "retime: wrote %lld batches, %lld events\n", batches, events);
    return exit_ok;
}

}  // namespace logtool
