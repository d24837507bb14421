#include "info_trackers.h"

#include <algorithm>

namespace logtool {

void peak_window::add(nanos t, long long events) {
    if (!m_inside.empty() && t < m_inside.back().first) {
        m_inside.clear();
        m_sum = 0;
    }
    m_inside.emplace_back(t, events);
    m_sum += events;
    while (t - m_inside.front().first >= m_width) {
        m_sum -= m_inside.front().second;
        m_inside.pop_front();
    }
    if (m_sum > m_peak) {
        m_peak = m_sum;
        m_at = m_inside.front().first;
    }
}

void heavy_hitters::add(std::string_view key) {
    const auto it = m_slot_of.find(key);
    if (it != m_slot_of.end()) {
        ++m_slots[it->second].count;
        return;
    }
    if (m_slots.size() < m_capacity) {
        m_slots.push_back({std::string(key), 1});
        m_slot_of.emplace(m_slots.back().key, m_slots.size() - 1);
        m_heap.emplace(1, m_slots.size() - 1);
        return;
    }
    // The heap's counts lag behind (increments don't touch it): refresh the
    // top until it is current; it is then the least counted.
    while (m_heap.top().first != m_slots[m_heap.top().second].count) {
        const std::size_t s = m_heap.top().second;
        m_heap.pop();
        m_heap.emplace(m_slots[s].count, s);
    }
    const std::size_t s = m_heap.top().second;
    m_heap.pop();
    m_slot_of.erase(m_slots[s].key);
    m_slots[s].key.assign(key);
    ++m_slots[s].count;
    m_slot_of.emplace(m_slots[s].key, s);
    m_heap.emplace(m_slots[s].count, s);
    m_evicted = true;
}

std::vector<std::pair<std::string, long long>> heavy_hitters::top(std::size_t n) const {
    std::vector<std::pair<std::string, long long>> all;
    all.reserve(m_slots.size());
    for (const slot& s : m_slots) all.emplace_back(s.key, s.count);
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    if (all.size() > n) all.resize(n);
    return all;
}

std::string_view prefix_of(std::string_view path) {
    std::size_t slashes = 0;
    for (std::size_t i = 0; i < path.size(); ++i)
        if (path[i] == '/' && i > 0 && ++slashes == 2) return path.substr(0, i);
    return path;
}

}  // namespace logtool
