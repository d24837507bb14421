// What info tracks over a log in bounded memory: the busiest window of a
// fixed width and the busiest path prefixes.
#ifndef ROREZUREDI_LOG_INFO_TRACKERS_H
#define ROREZUREDI_LOG_INFO_TRACKERS_H

#include <cstddef>
#include <deque>
#include <functional>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log_time.h"

namespace logtool {

// The busiest window [t, t + width) over the batches, in file order: exact
// for a log in time order; a batch out of order starts the window afresh.
class peak_window {
public:
    explicit peak_window(nanos width) : m_width(width) {}
    void add(nanos t, long long events);
    nanos width() const { return m_width; }
    long long peak() const { return m_peak; }
    nanos at() const { return m_at; }  // time of the busiest window's first batch

private:
    nanos m_width;
    std::deque<std::pair<nanos, long long>> m_inside;
    long long m_sum = 0, m_peak = 0;
    nanos m_at = 0;
};

// The busiest keys (Space-Saving): exact while the distinct keys fit the
// counters; after that a new key takes the place of the least counted one
// and inherits its count, so counts are upper bounds.
class heavy_hitters {
public:
    explicit heavy_hitters(std::size_t capacity) : m_capacity(capacity) {}
    void add(std::string_view key);
    bool approximate() const { return m_evicted; }
    // The `n` most counted, most first, equal counts by key.
    std::vector<std::pair<std::string, long long>> top(std::size_t n) const;

private:
    struct slot {
        std::string key;
        long long count;
    };
    struct hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    using counted = std::pair<long long, std::size_t>;  // count, slot
    std::size_t m_capacity;
    std::vector<slot> m_slots;
    std::unordered_map<std::string, std::size_t, hash, std::equal_to<>> m_slot_of;
    std::priority_queue<counted, std::vector<counted>, std::greater<>> m_heap;
    bool m_evicted = false;
};

// The path up to its second component ("/interfaces/eth0"); shorter paths
// are their own prefix.
std::string_view prefix_of(std::string_view path);

}  // namespace logtool

#endif
