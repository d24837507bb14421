#include "log_cursor.h"

#include <utility>

namespace logtool {

log_cursor::log_cursor(input_log in, bool empty_batches)
    : m_in(std::move(in)), m_empty_batches(empty_batches) {
    m_reader = std::make_unique<log_reader_t>(
        bind_log_reader(m_fields, [this](event_batch_t& batch) { take(batch); }));
    if (begin_log_read(*m_reader) != 0) m_done = true;
}

log_cursor::~log_cursor() {
    end_log_read(*m_reader);
}

// A batch the reader finished: kept in a slot whose storage goes back to the
// reader in exchange (the reader empties it).
void log_cursor::take(event_batch_t& batch) {
    const bool empty = batch.events.empty();
    if (empty && !m_empty_batches) return;
    if (!empty && !m_first_seen) {
        m_first_seen = true;
        m_start_first = m_reader->report.start_seen;
    }
    if (m_count == m_ready.size()) m_ready.emplace_back();
    log_batch& slot = m_ready[m_count++];
    slot.batch.time = batch.time;
    slot.batch.cmd = batch.cmd;
    slot.batch.events.swap(batch.events);
    slot.index = empty ? -1 : m_batches++;
    slot.start = start();
}

std::optional<nanos> log_cursor::start() const {
    if (!m_reader->report.start_seen) return std::nullopt;
    return to_nanos(m_fields.start_time);
}

// Reads pieces until a batch is ready; false at the end of the log.
bool log_cursor::fill() {
    if (m_next < m_count) return true;
    m_count = m_next = 0;
    while (!m_done && m_count == 0)
        if (read_log_piece(*m_reader, m_in.stream.get()) <= 0) m_done = true;
    return m_count > 0;
}

std::optional<nanos> log_cursor::find_start() {
    while (!m_done && !m_reader->report.start_seen)
        if (read_log_piece(*m_reader, m_in.stream.get()) <= 0) m_done = true;
    return start();
}

const log_batch* log_cursor::peek() {
    return fill() ? &m_ready[m_next] : nullptr;
}

bool log_cursor::next(log_batch& out) {
    if (!fill()) return false;
    log_batch& slot = m_ready[m_next++];
    out.batch.time = slot.batch.time;
    out.batch.cmd = slot.batch.cmd;
    out.batch.events.swap(slot.batch.events);
    out.index = slot.index;
    out.start = slot.start;
    return true;
}

}  // namespace logtool
