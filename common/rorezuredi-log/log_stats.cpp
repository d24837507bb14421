#include "log_stats.h"

#include <algorithm>

namespace logtool {

namespace {

// Orders gaps "longer first, then earlier": the heap keeps the worst on top.
bool longer(const batch_gap& a, const batch_gap& b) {
    return a.length != b.length ? a.length > b.length : a.index < b.index;
}

}  // namespace

void gap_tracker::add(const batch_gap& g) {
    if (m_keep == 0) return;
    if (m_heap.size() == m_keep) {
        if (!longer(g, m_heap.front())) return;
        std::pop_heap(m_heap.begin(), m_heap.end(), longer);
        m_heap.back() = g;
    } else {
        m_heap.push_back(g);
    }
    std::push_heap(m_heap.begin(), m_heap.end(), longer);
}

std::vector<batch_gap> gap_tracker::longest() const {
    std::vector<batch_gap> out = m_heap;
    std::sort(out.begin(), out.end(), longer);
    return out;
}

void batch_summary::add(const event_batch_t& batch) {
    const nanos t = to_nanos(batch.time);
    const long long n = static_cast<long long>(batch.events.size());
    const std::size_t slot = action_slot(batch.cmd);
    if (slot < action_count) {
        ++batches_by_action[slot];
        events_by_action[slot] += n;
    }
    if (batches == 0) {
        earliest = latest = t;
    } else {
        earliest = std::min(earliest, t);
        latest = std::max(latest, t);
        if (t < previous && out_of_order++ == 0) {
            first_out_of_order = batches;
            first_out_of_order_time = t;
            first_out_of_order_after = previous;
        }
        if (t == previous) {
            if (first_shared < 0) {
                first_shared = batches - 1;
                first_shared_time = t;
            }
            shared_time += m_run_counted ? 1 : 2;
            m_run_counted = true;
        } else {
            m_run_counted = false;
        }
        if (t > previous) gaps.add({t - previous, previous, batches});
    }
    previous = t;
    ++batches;
    events += n;
}

}  // namespace logtool
