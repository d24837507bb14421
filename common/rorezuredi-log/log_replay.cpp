#include "log_replay.h"

#include "ctl/format.h"
#include "log_format.h"

namespace logtool {

int log_replay::open(const std::vector<std::string>& files, bool keep_going) {
    m_keep_going = keep_going;
    if (const int status = m_logs.open(files); status != exit_ok) return status;
    if (const int status = m_logs.begin(); status != exit_ok) return status;
    m_pending = m_logs.next(m_next, m_log, m_at);
    return m_logs.status();
}

bool log_replay::axis_time(const time_arg& t, nanos& out) {
    const std::optional<nanos> origin = t.absolute ? m_logs.origin() : std::nullopt;
    if (t.absolute && !origin) {
        if (m_logs.cursor(0).failed()) {
            m_logs.cursor(0).refuse();
            return false;
        }
        std::fputs("rorezuredi-log: an ISO time needs a start element in the log to place it\n", stderr);
        return false;
    }
    out = t.on_axis(origin.value_or(0));
    return true;
}

int log_replay::advance_to(nanos until) {
    while (m_pending && m_at <= until) {
        if (const int status = apply(); status != exit_ok) return status;
        m_pending = m_logs.next(m_next, m_log, m_at);
    }
    return m_logs.status();
}

void log_replay::report_skipped() const {
    if (m_skipped > 0)
        std::fprintf(stderr, "rorezuredi-log: skipped %lld events the store would refuse\n", m_skipped);
}

// Applies the pending batch; a refusal is reported as replay would meet it:
// which batch, when, the store's code and the path it names.
int log_replay::apply() {
    event_batch_t& b = m_next.batch;
    const auto where = [&] {
        return "rorezuredi-log: " + m_logs.cursor(m_log).input().display() + ": batch " +
               std::to_string(m_next.index) + " at " + format_seconds(to_nanos(b.time)) + " (" +
               action_name(b.cmd) + ")";
    };
    std::size_t failed = 0;
    // Without keep_going a refused batch ends the work: its values may go.
    const int code = m_state.apply(b, failed, !m_keep_going);
    if (code == 0) return exit_ok;
    if (!m_keep_going) {
        m_batch_refused = true;
        m_pending = false;
        std::fprintf(stderr, "%s: the store would refuse it: %s at %s\n", where().c_str(),
                     velt::ctl::describe_code(code).c_str(),
                     velt::ctl::escaped(b.events[failed].path).c_str());
        return exit_refused;
    }
    m_skipped += m_state.apply_each(b, [&](std::size_t e, int c) {
        std::fprintf(stderr, "%s: skipped event %zu, %s: %s\n", where().c_str(), e,
                     velt::ctl::escaped(b.events[e].path).c_str(), velt::ctl::describe_code(c).c_str());
    });
    return exit_ok;
}

}  // namespace logtool
