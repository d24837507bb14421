// Logs applied batch by batch, in merge order, to a store_state: the tree
// replaying them would leave at any moment. Memory follows the tree, not
// the logs.
#ifndef ROREZUREDI_LOG_LOG_REPLAY_H
#define ROREZUREDI_LOG_LOG_REPLAY_H

#include <string>
#include <vector>

#include "log_merge.h"
#include "store_state.h"

namespace logtool {

class log_replay {
public:
    // Opens the logs and reads each up to its first batch. Returns exit_ok,
    // or exit_usage (a file that can't be opened) or exit_refused (a log
    // refused, or one of several without a start) after a message.
    int open(const std::vector<std::string>& files, bool keep_going);

    // A command-line time on the axis of the logs taken together (that of the
    // earliest start; a single log's own axis). False with a message when the
    // time is absolute and no start places it.
    bool axis_time(const time_arg& t, nanos& out);

    // Applies every batch at or before `until` on the axis. Returns exit_ok
    // or, after a message, exit_refused: a log was refused or is out of time
    // order, or (without keep_going) a batch the store would refuse, which is
    // then left unapplied (see batch_refused()).
    int advance_to(nanos until);
    // Later than any batch.
    static constexpr nanos end_of_logs = nanos(1) << 100;
    bool batch_refused() const { return m_batch_refused; }
    // Events skipped so far (keep_going).
    long long skipped() const { return m_skipped; }
    // Tells on standard error how many events were skipped, if any.
    void report_skipped() const;

    const store_state& state() const { return m_state; }

private:
    int apply();

    merged_logs m_logs;
    // The batch read but not yet applied, if any.
    log_batch m_next;
    std::size_t m_log = 0;
    nanos m_at = 0;
    bool m_pending = false;

    bool m_keep_going = false;
    bool m_batch_refused = false;
    long long m_skipped = 0;
    store_state m_state;
};

}  // namespace logtool

#endif
