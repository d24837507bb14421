// What info and timeline both learn from a log's batches, one batch at a
// time: counts per action, the longest gaps between consecutive batches and
// how the batch times are ordered.
#ifndef ROREZUREDI_LOG_STATS_H
#define ROREZUREDI_LOG_STATS_H

#include <array>
#include <cstddef>
#include <vector>

#include "actions.h"
#include "log_time.h"
#include "rorezuredi.h"

namespace logtool {

// A gap between two consecutive batches (file order): the batch `index`
// came `length` after the batch before it.
struct batch_gap {
    nanos length = 0;
    nanos from = 0;  // time of the batch before
    long long index = 0;
};

// The `keep` longest gaps seen, in a small heap.
class gap_tracker {
public:
    explicit gap_tracker(std::size_t keep) : m_keep(keep) {}
    void add(const batch_gap& g);
    // Longest first; equal lengths in file order.
    std::vector<batch_gap> longest() const;

private:
    std::size_t m_keep;
    std::vector<batch_gap> m_heap;  // the shortest kept on top
};

// Counts over the batches replay keeps (those with events), fed in file order.
struct batch_summary {
    long long batches = 0;
    long long events = 0;
    std::array<long long, action_count> batches_by_action{};
    std::array<long long, action_count> events_by_action{};
    nanos earliest = 0, latest = 0;  // batch times
    nanos previous = 0;              // time of the last batch added
    long long out_of_order = 0;      // batches at a time below the batch before
    long long shared_time = 0;       // batches at the same time as a neighbour
    // The first batch out of order: its index, its time and the time of the
    // batch before it; the first run of equal times: its first index and time.
    long long first_out_of_order = -1;
    nanos first_out_of_order_time = 0, first_out_of_order_after = 0;
    long long first_shared = -1;
    nanos first_shared_time = 0;
    gap_tracker gaps{5};

    explicit batch_summary(std::size_t gaps_kept = 5) : gaps(gaps_kept) {}
    // Adds the next batch; its index is the number of batches before it.
    void add(const event_batch_t& batch);
    nanos span() const { return latest - earliest; }

private:
    bool m_run_counted = false;  // the batch before is already in shared_time
};

}  // namespace logtool

#endif
