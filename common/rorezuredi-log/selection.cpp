#include "selection.h"

#include <algorithm>
#include <cstdio>

namespace logtool {

selection::selection(const selection_options& o) {
    std::string error;
    if (!o.from_text.empty()) parse_time_arg(o.from_text, m_from, error);
    if (!o.to_text.empty()) parse_time_arg(o.to_text, m_to, error);
    if (!o.batches_text.empty()) parse_range(o.batches_text, m_first, m_end);
    for (const std::string& a : o.actions) m_actions.push_back(action_code(a.c_str()));
    install_filter(o.filter);
}

bool selection::place(const log_cursor& cursor, const input_log& in) {
    if ((m_from.absolute || m_to.absolute) && !cursor.start_seen()) {
        std::fprintf(stderr,
                     "rorezuredi-log: '%s' has no start element before its first batch, so ISO times can't "
                     "be placed on it; give the times in seconds\n",
                     in.display().c_str());
        return false;
    }
    const nanos start = to_nanos(cursor.start());
    m_from_ns = m_from.absolute ? m_from.value - start : m_from.value;
    m_to_ns = m_to.absolute ? m_to.value - start : m_to.value;
    return true;
}

bool selection::keeps(long long index, event_batch_t& batch) const {
    if (index < m_first || (m_end >= 0 && index >= m_end)) return false;
    const nanos t = to_nanos(batch.time);
    if ((m_from.given && t < m_from_ns) || (m_to.given && t >= m_to_ns)) return false;
    if (!m_actions.empty() && std::find(m_actions.begin(), m_actions.end(), batch.cmd) == m_actions.end())
        return false;
    return filter_batch(batch);
}

}  // namespace logtool
