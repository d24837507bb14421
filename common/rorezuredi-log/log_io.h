// What every subcommand of rorezuredi-log shares: reading a log batch by
// batch through rorezuredi's own reader, writing a log into place only when
// it is complete, times on the command line, and the exit statuses.
#ifndef ROREZUREDI_LOG_IO_H
#define ROREZUREDI_LOG_IO_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "rorezuredi.h"

namespace logtool {

// Exit statuses.
constexpr int exit_ok = 0;
constexpr int exit_refused = 1;  // the log was refused (or, for check --strict, drew warnings)
constexpr int exit_usage = 2;    // a usage error or a file that can't be opened

// Times in nanoseconds; wide enough for any time a log can hold.
using nanos = __int128;
constexpr long long ns_per_s = 1000000000LL;

nanos to_nanos(const timespec& t);
// Fails (false) when the time has no timespec form with seconds >= 0.
bool from_nanos(nanos ns, timespec& out);
// "12.500000000" style: seconds, a point, nine digits (a sign when negative).
std::string format_seconds(nanos ns);
// ISO 8601 UTC, "2026-12-06T19:04:13.5Z" style (fraction trimmed of trailing zeros).
std::string format_iso(nanos since_epoch);

// A time given on the command line: seconds on the log's batch-time axis
// ("12.5"), or an absolute ISO 8601 UTC time ("2026-12-06T19:04:13.5Z")
// placed on that axis through the log's start element.
struct time_arg {
    bool given = false;
    bool absolute = false;
    nanos value = 0;  // seconds on the axis, or since the epoch, in ns
};
// Reads `text` into `out`; false with a message in `error` when it is neither form.
bool parse_time_arg(const std::string& text, time_arg& out, std::string& error);
// A plain number of seconds (a duration); false when it is not one.
bool parse_seconds(const std::string& text, nanos& out);

// "A:B" with either side left out (B is -1 then); false when it is not that form.
bool parse_range(const std::string& text, long long& a, long long& b);

// An input log: a file, or standard input for "-".
struct input_log {
    std::string name;  // as given on the command line
    FILE* stream = nullptr;
    long long size = -1;  // bytes, for a regular file; -1 otherwise
    dev_t dev = 0;
    ino_t ino = 0;
    bool regular = false;

    // "standard input" for "-", else the name.
    std::string display() const;
};
// Opens `name`; false after a one-line message (exit_usage).
bool open_input(const std::string& name, input_log& in);

// The result of reading a log.
struct read_result {
    bool ok = false;
    log_read_report_t report;
    timespec start{0, 0};
};

// Reads the whole log with rorezuredi's reader, handing every batch that
// closes without error to `on_batch` as it completes (batches without events
// included: they are what replay drops). The reader's own messages go to
// standard error. Closes the stream.
read_result read_log(input_log& in, const std::function<void(event_batch_t&)>& on_batch);

// Reading several logs in turns: each piece of a log is read with its own
// reader state swapped in. One per input.
class log_cursor {
public:
    explicit log_cursor(input_log& in);
    ~log_cursor();
    log_cursor(const log_cursor&) = delete;
    log_cursor& operator=(const log_cursor&) = delete;

    // Fills `batch` with the next batch that has events; false at the end of
    // the log or when the read failed (see failed()).
    bool next(event_batch_t& batch);
    bool failed() const { return m_failed; }
    const log_read_report_t& report() const { return m_state.report; }
    // The start element read so far (start_seen in the report).
    const timespec& start() const { return m_state.start_time; }
    bool start_seen() const { return m_state.report.start_seen; }
    // Reads on until a batch or the start element has been read, so that a
    // start written before the first batch is known before it.
    void prime();
    // The start element came before the first batch with events (or, while
    // no such batch has been read, it has been read).
    bool start_first() const { return m_batch_seen ? m_start_first : start_seen(); }

private:
    bool read_piece();

    input_log& m_in;
    log_reader_state_t m_state;
    std::vector<event_batch_t> m_ready;
    size_t m_next = 0;
    bool m_done = false;
    bool m_failed = false;
    bool m_batch_seen = false;
    bool m_start_first = false;
};

// One line for a refused log: "FILE:LINE:COLUMN: error: REASON (byte N)".
std::string refusal_line(const std::string& file, const log_read_report_t& r);
// Writes that line and a hint to standard error; returns exit_refused.
int refuse(const input_log& in, const log_read_report_t& r);

// An output log: standard output for "-"; otherwise a temporary file beside
// the named one, renamed into place by commit() only when complete. An output
// that is one of the inputs is refused.
class output_log {
public:
    output_log() = default;
    ~output_log();
    output_log(const output_log&) = delete;
    output_log& operator=(const output_log&) = delete;

    // False after a one-line message (exit_usage).
    bool open(const std::string& name, const std::vector<const input_log*>& inputs);
    FILE* stream() const { return m_stream; }
    // Flushes, closes and renames into place; false after a message.
    bool commit();
    // Throws the temporary file away.
    void discard();

private:
    std::string m_name;
    std::string m_temp;
    FILE* m_stream = nullptr;
    std::vector<char> m_buffer;
};

// The part of each batch's events that a path filter (the same rules as
// rorezuredi -p/-x/-a/-i) keeps; the filter lives in program_state.
struct path_filter_args {
    std::vector<std::string> include_paths;
    std::vector<std::string> exclude_paths;
    std::vector<std::string> include_attrs;
    std::vector<std::string> exclude_attrs;
};
// Installs the filter into program_state (paths canonicalised as rorezuredi does).
void install_filter(const path_filter_args& args);
// Erases the events the filter refuses; true when any is left.
bool filter_batch(event_batch_t& batch);

}  // namespace logtool

#endif
