// Writing a log: the head, batches, the start element where it belongs and
// the tail, into an output_file. The start written is the one replay of the
// input would use; it goes before the first batch when it was known then,
// else before the first batch written after it became known, else last.
#ifndef ROREZUREDI_LOG_WRITER_H
#define ROREZUREDI_LOG_WRITER_H

#include <optional>
#include <string>

#include "log_cursor.h"

#include "log_output.h"
#include "log_time.h"

namespace logtool {

class log_writer {
public:
    // Writes the head into `out`.
    explicit log_writer(output_file& out);

    // Writes `batch` after the start `start`, when that is known and differs
    // from the one written last.
    void write(const event_batch_t& batch, std::optional<nanos> start);
    // Writes `start` when it is not written yet, then the tail, and puts the
    // file in place; false after a message.
    bool finish(std::optional<nanos> start);

    long long batches() const { return m_batches; }
    long long events() const { return m_events; }

private:
    void put_start(std::optional<nanos> start);

    output_file& m_out;
    std::optional<nanos> m_written;
    long long m_batches = 0, m_events = 0;
};

// One input log and the log written from it, opened in that order; the
// output is refused when it is the input.
struct log_rewrite {
    std::optional<log_cursor> cursor;
    output_file out;

    // False after a one-line message (exit_usage).
    bool open(const std::string& file, const std::string& out_name, bool empty_batches = false);
};

// `start` moved by `by`, when known.
inline std::optional<nanos> shifted(std::optional<nanos> start, nanos by) {
    return start ? std::optional<nanos>(*start + by) : std::nullopt;
}

}  // namespace logtool

#endif
