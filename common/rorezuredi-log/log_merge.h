// Several logs read together in merge order: batches by absolute time (the
// log's start plus the batch time), ties in the order the logs are named.
// Each log must be in time order; with several, each needs a start element
// (one read late is read ahead to). A single log is taken on its own axis.
#ifndef ROREZUREDI_LOG_MERGE_H
#define ROREZUREDI_LOG_MERGE_H

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log_cursor.h"

namespace logtool {

class merged_logs {
public:
    // Opens the logs; exit_ok, else exit_usage after a message.
    int open(const std::vector<std::string>& files);
    // The inputs, as an output_file checks itself against them.
    std::vector<const input_log*> inputs() const;
    // Reads each of several logs to its start, and each log to its first
    // batch; exit_ok, else
    // exit_refused after a message.
    int begin();

    // The next batch in merge order into `out`, its log's index in `log`
    // and its time on the common axis (from the earliest start) in `at`.
    // False at the end, or after a message when a log was refused or is out
    // of time order (status() is then exit_refused).
    bool next(log_batch& out, std::size_t& log, nanos& at);
    int status() const { return m_status; }

    // The earliest start, the common axis's origin. A single log's is read
    // ahead to only when asked for here; none when it has no start.
    std::optional<nanos> origin();
    const log_cursor& cursor(std::size_t log) const { return m_logs[log].cursor; }
    std::size_t size() const { return m_logs.size(); }

private:
    struct log {
        log_cursor cursor;
        nanos offset = 0;  // from the origin to this log's start
        log_batch next;
        nanos time = 0;  // of `next`, on the log's own axis
        explicit log(input_log in) : cursor(std::move(in)) {}
    };
    int pull(std::size_t i);

    std::deque<log> m_logs;                              // a cursor stays where it is made
    std::vector<std::pair<nanos, std::size_t>> m_queue;  // a heap, the earliest on top
    std::optional<nanos> m_origin;
    int m_status = exit_ok;
};

}  // namespace logtool

#endif
