// info: what a log holds, in one pass: counts per action, times, rates and
// peaks, the longest gaps, value types, the busiest paths and what is out of
// order or would be dropped.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "log_io.h"
#include "log_stats.h"

namespace logtool {

namespace {

// The busiest window of a fixed width: a deque of the batches inside the
// window ending at the latest batch. Exact for a log in time order; a batch
// out of order starts the window afresh.
class peak_window {
public:
    explicit peak_window(nanos width) : m_width(width) {}
    void add(nanos t, long long events) {
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
    nanos width() const { return m_width; }
    long long peak() const { return m_peak; }
    nanos at() const { return m_at; }  // time of the window's first batch

private:
    nanos m_width;
    std::deque<std::pair<nanos, long long>> m_inside;
    long long m_sum = 0, m_peak = 0;
    nanos m_at = 0;
};

// The busiest keys in bounded memory (Space-Saving): exact while the distinct
// keys fit the counters; after that a new key takes the place of the least
// counted one and inherits its count, so counts are upper bounds.
class heavy_hitters {
public:
    explicit heavy_hitters(std::size_t capacity) : m_capacity(capacity) {}

    void add(std::string_view key) {
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
        // The heap's counts lag behind (increments don't touch it): refresh
        // the top until it is current; it is then the least counted.
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
    bool approximate() const { return m_evicted; }
    std::vector<std::pair<std::string, long long>> top(std::size_t n) const {
        std::vector<std::pair<std::string, long long>> all;
        all.reserve(m_slots.size());
        for (const slot& s : m_slots) all.emplace_back(s.key, s.count);
        std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
            return a.second != b.second ? a.second > b.second : a.first < b.first;
        });
        if (all.size() > n) all.resize(n);
        return all;
    }

private:
    struct slot {
        std::string key;
        long long count;
    };
    struct hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::size_t m_capacity;
    std::vector<slot> m_slots;
    std::unordered_map<std::string, std::size_t, hash, std::equal_to<>> m_slot_of;
    std::priority_queue<std::pair<long long, std::size_t>, std::vector<std::pair<long long, std::size_t>>,
                        std::greater<>>
        m_heap;
    bool m_evicted = false;
};

// The path up to its second component ("/interfaces/eth0"); shorter paths
// are their own prefix.
std::string_view prefix_of(std::string_view path) {
    std::size_t slashes = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '/' && i > 0 && ++slashes == 2) return path.substr(0, i);
    }
    return path;
}

constexpr int type_codes = 16;  // data_type_t codes kept apart; others count as the last

struct info_figures {
    batch_summary summary;
    peak_window per_second{ns_per_s};
    peak_window per_10ms{ns_per_s / 100};
    std::array<long long, type_codes> types{};
    heavy_hitters prefixes{1024};
};

std::string type_label(int code) {
    if (code == type_codes - 1) return "other";
    const char* name = vlt_enum_to_str(static_cast<data_type_t>(code));
    return name != nullptr ? name : "invalid";
}

double seconds_of(nanos ns) {
    return static_cast<double>(ns) / static_cast<double>(ns_per_s);
}

nlohmann::ordered_json time_json(nanos t, bool has_start, nanos start) {
    nlohmann::ordered_json j = {{"seconds", seconds_of(t)}, {"text", format_seconds(t)}};
    if (has_start) j["iso"] = format_iso(start + t);
    return j;
}

nlohmann::ordered_json to_json(const input_log& in, const read_result& r, const info_figures& f) {
    const batch_summary& s = f.summary;
    const bool has_start = r.report.start_seen;
    const nanos start = to_nanos(r.start);
    nlohmann::ordered_json j;
    j["file"] = in.display();
    j["size"] = in.regular ? in.size : r.report.bytes;
    j["start"] = has_start ? nlohmann::ordered_json(format_iso(start)) : nlohmann::ordered_json(nullptr);
    j["batches"] = s.batches;
    j["events"] = s.events;
    j["empty_batches"] = r.report.batches_closed - s.batches;
    nlohmann::ordered_json actions = nlohmann::ordered_json::object();
    for (std::size_t a = 0; a < action_count; ++a)
        actions[action_name(log_actions[a])] = {{"batches", s.batches_by_action[a]},
                                                {"events", s.events_by_action[a]}};
    j["actions"] = actions;
    if (s.batches > 0) {
        j["first"] = time_json(s.earliest, has_start, start);
        j["last"] = time_json(s.latest, has_start, start);
        j["span"] = {{"seconds", seconds_of(s.span())}, {"text", format_seconds(s.span())}};
    }
    j["events_per_second"] =
        s.span() > 0 ? nlohmann::ordered_json(static_cast<double>(s.events) / seconds_of(s.span()))
                     : nlohmann::ordered_json(nullptr);
    nlohmann::ordered_json peaks = nlohmann::ordered_json::array();
    for (const peak_window* p : {&f.per_second, &f.per_10ms}) {
        nlohmann::ordered_json e = {{"window", seconds_of(p->width())}, {"events", p->peak()}};
        if (s.batches > 0) e["at"] = time_json(p->at(), has_start, start);
        peaks.push_back(e);
    }
    j["peaks"] = peaks;
    nlohmann::ordered_json gaps = nlohmann::ordered_json::array();
    for (const batch_gap& g : s.gaps.longest())
        gaps.push_back({{"seconds", seconds_of(g.length)},
                        {"text", format_seconds(g.length)},
                        {"after_batch", g.index - 1},
                        {"before_batch", g.index},
                        {"from", time_json(g.from, has_start, start)}});
    j["longest_gaps"] = gaps;
    nlohmann::ordered_json types = nlohmann::ordered_json::object();
    for (int c = 0; c < type_codes; ++c)
        if (f.types[c] > 0) types[type_label(c)] = f.types[c];
    j["value_types"] = types;
    nlohmann::ordered_json busiest = nlohmann::ordered_json::array();
    for (const auto& [key, count] : f.prefixes.top(10))
        busiest.push_back({{"prefix", key}, {"events", count}});
    j["busiest_prefixes"] = {{"approximate", f.prefixes.approximate()}, {"top", busiest}};
    j["out_of_order_batches"] = s.out_of_order;
    j["shared_time_batches"] = s.shared_time;
    j["dropped_events"] = r.report.dropped_events;
    return j;
}

// " (2026-12-06T19:04:13.5Z)" when the log has a start.
std::string iso_suffix(nanos t, bool has_start, nanos start) {
    return has_start ? " (" + format_iso(start + t) + ")" : "";
}

void print_text(const input_log& in, const read_result& r, const info_figures& f) {
    const batch_summary& s = f.summary;
    const bool has_start = r.report.start_seen;
    const nanos start = to_nanos(r.start);
    const auto row = [](const char* label, const std::string& value) {
        if (value.empty()) {
            std::printf("%s\n", label);
        } else {
            std::printf("%-20s %s\n", label, value.c_str());
        }
    };
    row("file", in.display());
    row("size", std::to_string(in.regular ? in.size : r.report.bytes) + " bytes");
    row("start", has_start ? format_iso(start) : "none");
    row("batches", std::to_string(s.batches) + " (and " +
                       std::to_string(r.report.batches_closed - s.batches) + " without events)");
    row("events", std::to_string(s.events));
    for (std::size_t a = 0; a < action_count; ++a)
        std::printf("  %-18s %lld batches, %lld events\n", action_name(log_actions[a]),
                    s.batches_by_action[a], s.events_by_action[a]);
    if (s.batches > 0) {
        row("first batch", format_seconds(s.earliest) + " s" + iso_suffix(s.earliest, has_start, start));
        row("last batch", format_seconds(s.latest) + " s" + iso_suffix(s.latest, has_start, start));
        row("span", format_seconds(s.span()) + " s");
    }
    char rate[64] = "none";
    if (s.span() > 0)
        std::snprintf(rate, sizeof rate, "%.3f", static_cast<double>(s.events) / seconds_of(s.span()));
    row("events per second", rate);
    for (const peak_window* p : {&f.per_second, &f.per_10ms}) {
        std::string v = std::to_string(p->peak()) + " events";
        if (s.batches > 0)
            v += " from " + format_seconds(p->at()) + " s" + iso_suffix(p->at(), has_start, start);
        row(p == &f.per_second ? "peak in 1 s" : "peak in 10 ms", v);
    }
    const std::vector<batch_gap> gaps = s.gaps.longest();
    row("longest gaps", gaps.empty() ? "none" : "");
    for (const batch_gap& g : gaps)
        std::printf("  %s s between batches %lld and %lld, from %s s\n", format_seconds(g.length).c_str(),
                    g.index - 1, g.index, format_seconds(g.from).c_str());
    row("value types", "");
    for (int c = 0; c < type_codes; ++c)
        if (f.types[c] > 0) std::printf("  %-18s %lld events\n", type_label(c).c_str(), f.types[c]);
    row("busiest prefixes", f.prefixes.approximate() ? "(approximate: more prefixes than counters)" : "");
    for (const auto& [key, count] : f.prefixes.top(10))
        std::printf("  %-40s %lld events\n", key.c_str(), count);
    row("out of order", std::to_string(s.out_of_order) + " batches");
    row("shared times", std::to_string(s.shared_time) + " batches");
    row("dropped events", std::to_string(r.report.dropped_events));
}

}  // namespace

int run_info(const info_options& o) {
    input_log in;
    if (!open_input(o.file, in)) return exit_usage;
    auto f = std::make_unique<info_figures>();
    const read_result r = read_log(in, [&f](event_batch_t& batch) {
        if (batch.events.empty()) return;
        const nanos t = to_nanos(batch.time);
        const long long n = static_cast<long long>(batch.events.size());
        f->summary.add(batch);
        f->per_second.add(t, n);
        f->per_10ms.add(t, n);
        const bool leaf = batch.cmd == CMD_SET_LEAF;
        for (const event_instance_t& ev : batch.events) {
            if (leaf) ++f->types[std::clamp(static_cast<int>(ev.type), 0, type_codes - 1)];
            f->prefixes.add(prefix_of(std::string_view(ev.path.data(), ev.path.size())));
        }
    });
    if (!r.ok) return refuse(in, r.report);
    if (o.json) {
        std::printf("%s\n", to_json(in, r, *f).dump(2).c_str());
    } else {
        print_text(in, r, *f);
    }
    return exit_ok;
}

}  // namespace logtool
