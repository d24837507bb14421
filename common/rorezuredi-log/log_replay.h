// Several logs taken in the order merge gives them (absolute time, ties in
// the order the logs are named) and applied batch by batch to a store_state.
// A thread reads the logs a few hundred batches ahead of the one applying
// them: memory follows the tree, not the logs.
#ifndef ROREZUREDI_LOG_LOG_REPLAY_H
#define ROREZUREDI_LOG_LOG_REPLAY_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log_io.h"
#include "store_state.h"

namespace logtool {

class log_replay {
public:
    log_replay();
    ~log_replay();
    log_replay(const log_replay&) = delete;
    log_replay& operator=(const log_replay&) = delete;

    // Opens the logs and reads each up to its first batch. Returns exit_ok,
    // or exit_usage (a file that can't be opened) or exit_refused (a log
    // refused, or one of several without a start) after a message.
    int open(const std::vector<std::string>& files, bool keep_going);

    // A command-line time on the axis of the logs taken together (that of the
    // earliest start; a single log's own axis). False with a message when the
    // time is absolute and no start places it.
    bool axis_time(const time_arg& t, nanos& out) const;

    // Applies every batch at or before `until` on the axis. Returns exit_ok
    // or, after a message, exit_refused: a log was refused or is out of time
    // order, or (without keep_going) a batch the store would refuse, which is
    // then left unapplied (see batch_refused()).
    int advance_to(nanos until);
    bool batch_refused() const { return m_batch_refused; }
    // Events skipped so far (keep_going).
    long long skipped() const { return m_skipped; }

    const store_state& state() const { return m_state; }

private:
    struct input;
    struct ordered;
    int pull(size_t i);
    void read_ahead();
    bool next_ready();
    int apply(ordered& o);

    // Reading (the reader thread, once open() has succeeded).
    std::vector<std::unique_ptr<input>> m_inputs;
    std::vector<std::pair<nanos, size_t>> m_queue;  // a heap: the earliest next batch on top
    nanos m_origin = 0;
    bool m_has_origin = false;

    // Handing over: whole chunks of batches in order.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<ordered>> m_chunks;
    bool m_read_all = false;
    int m_read_status = exit_ok;
    bool m_stop = false;
    std::thread m_reader;

    // Applying.
    std::vector<ordered> m_current;
    size_t m_next = 0;
    bool m_keep_going = false;
    bool m_batch_refused = false;
    long long m_skipped = 0;
    store_state m_state;
};

}  // namespace logtool

#endif
