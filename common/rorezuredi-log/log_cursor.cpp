#include "log_cursor.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace logtool {

bool replay_drops(const event_instance_t& ev, api_cmd_t cmd) {
    // A value that converted has its declared type; one that did not is still
    // text, which for a declared text type means text the store refuses.
    return cmd == CMD_SET_LEAF && ev.value.type() == DATATYPE_STRING &&
           (ev.type != DATATYPE_STRING || !toolkit::CElement::valid_string(ev.value.get_bytes()));
}

log_cursor::log_cursor(input_log in, cursor_mode mode) : m_in(std::move(in)), m_mode(mode) {
    m_reader = std::make_unique<log_reader_t>(bind_log_reader(
        m_fields, [this](event_batch_t& batch) { take(batch); }, mode.unconverted_events));
    if (begin_log_read(*m_reader) != 0) m_done = true;
}

log_cursor::~log_cursor() {
    end_log_read(*m_reader);
}

// A batch the reader finished: kept in a slot whose storage goes back to the
// reader in exchange (the reader empties it).
void log_cursor::take(event_batch_t& batch) {
    const bool none = batch.events.empty();
    if (none && !m_mode.empty_batches) return;
    // Replay keeps a batch that holds an event it keeps.
    const auto drops = [&batch](const event_instance_t& ev) { return replay_drops(ev, batch.cmd); };
    const bool kept = !none && (!m_mode.unconverted_events ||
                                !std::all_of(batch.events.begin(), batch.events.end(), drops));
    if (kept && !m_first_seen) {
        m_first_seen = true;
        m_start_first = m_reader->report.start_seen;
    }
    if (m_count == m_ready.size()) m_ready.emplace_back();
    log_batch& slot = m_ready[m_count++];
    slot.batch.time = batch.time;
    slot.batch.cmd = batch.cmd;
    slot.batch.events.swap(batch.events);
    slot.index = kept ? m_batches++ : none ? -1 : m_batches;
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

int log_cursor::refuse_disorder(long long index) const {
    std::fprintf(stderr,
                 "rorezuredi-log: '%s' is not in time order (batch %lld lies before the one before it); sort "
                 "it first: rorezuredi-log retime --sort %s OUT\n",
                 m_in.display().c_str(), index, m_in.name.c_str());
    return exit_refused;
}

}  // namespace logtool
