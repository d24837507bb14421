#include "log_merge.h"

#include <algorithm>
#include <functional>

namespace logtool {

namespace {

constexpr auto later = std::greater<std::pair<nanos, std::size_t>>();

}  // namespace

int merged_logs::open(const std::vector<std::string>& files) {
    if (std::count(files.begin(), files.end(), "-") > 1) {
        std::fputs("rorezuredi-log: standard input ('-') can be only one of the inputs\n", stderr);
        return exit_usage;
    }
    for (const std::string& f : files) {
        std::optional<input_log> in = open_input(f);
        if (!in) return exit_usage;
        m_logs.emplace_back(std::move(*in));
    }
    return exit_ok;
}

std::vector<const input_log*> merged_logs::inputs() const {
    std::vector<const input_log*> out;
    for (const log& l : m_logs) out.push_back(&l.cursor.input());
    return out;
}

int merged_logs::begin() {
    // A single log is taken on its own axis: its start is looked for only
    // when origin() is asked for.
    for (log& l : m_logs) {
        if (m_logs.size() == 1) break;
        const std::optional<nanos> start = l.cursor.find_start();
        if (l.cursor.failed()) return m_status = l.cursor.refuse();
        if (start) {
            m_origin = std::min(m_origin.value_or(*start), *start);
        } else {
            std::fprintf(stderr,
                         "rorezuredi-log: '%s' has no start element, so its batches can't be placed among "
                         "the other logs'; give it one: rorezuredi-log retime --start ISO-TIME %s OUT\n",
                         l.cursor.input().display().c_str(), l.cursor.input().name.c_str());
            return m_status = exit_refused;
        }
    }
    for (log& l : m_logs) l.offset = m_origin ? *l.cursor.start() - *m_origin : 0;
    for (std::size_t i = 0; i < m_logs.size(); ++i)
        if (pull(i) != exit_ok) return m_status;
    return exit_ok;
}

std::optional<nanos> merged_logs::origin() {
    if (!m_origin && m_logs.size() == 1) m_origin = m_logs.front().cursor.find_start();
    return m_origin;
}

// Reads the log's next batch into the queue.
int merged_logs::pull(std::size_t i) {
    log& l = m_logs[i];
    const nanos before = l.time;
    if (!l.cursor.next(l.next)) return l.cursor.failed() ? m_status = l.cursor.refuse() : exit_ok;
    l.time = to_nanos(l.next.batch.time);
    if (l.next.index > 0 && l.time < before) return m_status = l.cursor.refuse_disorder(l.next.index);
    m_queue.emplace_back(l.offset + l.time, i);
    std::push_heap(m_queue.begin(), m_queue.end(), later);
    return exit_ok;
}

bool merged_logs::next(log_batch& out, std::size_t& log, nanos& at) {
    if (m_status != exit_ok || m_queue.empty()) return false;
    std::pop_heap(m_queue.begin(), m_queue.end(), later);
    std::tie(at, log) = m_queue.back();
    m_queue.pop_back();
    std::swap(out, m_logs[log].next);  // `out`'s storage goes to the log's next read
    return pull(log) == exit_ok;
}

}  // namespace logtool
