// Reading a log batch by batch: a cursor owns its input and its own reader,
// so that several logs can be read in turns, and yields each finished batch
// that replay would keep, with what was known of the log when it closed.
#ifndef ROREZUREDI_LOG_CURSOR_H
#define ROREZUREDI_LOG_CURSOR_H

#include <memory>
#include <optional>
#include <vector>

#include "log_input.h"
#include "log_time.h"

namespace logtool {

// One batch with events, as the reader finished it.
struct log_batch {
    event_batch_t batch;
    long long index = 0;         // among the batches with events, in file order, from 0
    std::optional<nanos> start;  // the start replay would use, as read when the batch closed
};

class log_cursor {
public:
    // With `empty_batches`, batches without events are yielded too (replay
    // drops them; a repair keeps them).
    explicit log_cursor(input_log in, bool empty_batches = false);
    ~log_cursor();
    log_cursor(const log_cursor&) = delete;
    log_cursor& operator=(const log_cursor&) = delete;

    // The next batch; false at the end of the log or when the read failed
    // (see failed()). `out`'s storage is reused.
    bool next(log_batch& out);
    // The next batch without taking it; null where next() would give false.
    const log_batch* peek();

    // Reads on, keeping the batches read, until a start element has been
    // read or the log ends; the start read first, if any.
    std::optional<nanos> find_start();

    bool failed() const { return m_reader->report.failed(); }
    const log_read_report_t& report() const { return m_reader->report; }
    // The start replay would use (the last read), as read so far.
    std::optional<nanos> start() const;
    // The start element came before the first batch with events (peek() to
    // know it before taking that batch; at the end: a start was read at all
    // when the log had no batch).
    bool start_first() const { return m_first_seen ? m_start_first : report().start_seen; }
    // Batches with events taken from the reader so far.
    long long batches() const { return m_batches; }
    const input_log& input() const { return m_in; }
    // Writes the refusal of this log; exit_refused.
    int refuse() const { return logtool::refuse(m_in, report()); }

private:
    bool fill();
    void take(event_batch_t& batch);

    input_log m_in;
    log_reader_fields_t m_fields;
    std::unique_ptr<log_reader_t> m_reader;
    std::vector<log_batch> m_ready;  // slots reused from piece to piece
    std::size_t m_count = 0, m_next = 0;
    bool m_done = false;
    bool m_first_seen = false, m_start_first = false;
    long long m_batches = 0;
    bool m_empty_batches;
};

}  // namespace logtool

#endif
