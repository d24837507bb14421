// info: what a log holds, in one pass: counts per action, times, rates and
// peaks, the longest gaps, value types, the busiest paths and what is out of
// order or would be dropped. The figures are built once, each with its JSON
// key and value and its text row, and rendered either way from that list.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "info_trackers.h"
#include "log_cursor.h"
#include "log_stats.h"

namespace logtool {

namespace {

using json = nlohmann::ordered_json;

constexpr int type_codes = 16;  // data_type_t codes kept apart; others count as the last

struct info_counts {
    batch_summary summary;
    peak_window per_second{ns_per_s};
    peak_window per_10ms{ns_per_s / 100};
    std::array<long long, type_codes> types{};
    heavy_hitters prefixes{1024};

    void add(const event_batch_t& batch) {
        const nanos t = to_nanos(batch.time);
        const auto n = static_cast<long long>(batch.events.size());
        summary.add(batch);
        per_second.add(t, n);
        per_10ms.add(t, n);
        const bool leaf = batch.cmd == CMD_SET_LEAF;
        for (const event_instance_t& ev : batch.events) {
            if (leaf) ++types[std::clamp(static_cast<int>(ev.type), 0, type_codes - 1)];
            prefixes.add(prefix_of(std::string_view(ev.path.data(), ev.path.size())));
        }
    }
};

// One figure: its JSON key ("key[]" appends to an array) and value, and its
// text row (no label: JSON only) with lines under it.
struct figure {
    std::string key;
    json value;
    const char* label = nullptr;
    std::string text = {};
    std::vector<std::string> lines = {};
};

std::string type_label(int code) {
    if (code == type_codes - 1) return "other";
    const char* name = vlt_enum_to_str(static_cast<data_type_t>(code));
    return name != nullptr ? name : "invalid";
}

double seconds_of(nanos ns) {
    return static_cast<double>(ns) / static_cast<double>(ns_per_s);
}

// A time on the axis, placed in absolute time when the log has a start.
struct axis {
    std::optional<nanos> start;
    json at(nanos t) const {
        json j = {{"seconds", seconds_of(t)}, {"text", format_seconds(t)}};
        if (start) j["iso"] = format_iso(*start + t);
        return j;
    }
    std::string text(nanos t) const {
        return format_seconds(t) + " s" + (start ? " (" + format_iso(*start + t) + ")" : "");
    }
};

std::string padded(const std::string& s, int width) {
    return s.size() < static_cast<std::size_t>(width) ? s + std::string(width - s.size(), ' ') : s;
}

std::vector<figure> figures_of(const log_cursor& c, const info_counts& f) {
    const batch_summary& s = f.summary;
    const log_read_report_t& r = c.report();
    const axis ax{c.start()};
    const long long size = c.input().size >= 0 ? c.input().size : r.bytes;
    const long long empty = r.batches_closed - s.batches;
    std::vector<figure> out;
    out.push_back({"file", c.input().display(), "file", c.input().display()});
    out.push_back({"size", size, "size", std::to_string(size) + " bytes"});
    out.push_back({"start", ax.start ? json(format_iso(*ax.start)) : json(nullptr), "start",
                   ax.start ? format_iso(*ax.start) : "none"});
    out.push_back({"batches", s.batches, "batches",
                   std::to_string(s.batches) + " (and " + std::to_string(empty) + " without events)"});
    out.push_back({"events", s.events, "events", std::to_string(s.events)});
    out.push_back({"empty_batches", empty, nullptr});
    figure actions{"actions", json::object(), nullptr};
    for (std::size_t a = 0; a < action_count; ++a) {
        actions.value[action_label(a)] = {{"batches", s.batches_by_action[a]},
                                          {"events", s.events_by_action[a]}};
        actions.lines.push_back(padded(action_label(a), 18) + " " + std::to_string(s.batches_by_action[a]) +
                                " batches, " + std::to_string(s.events_by_action[a]) + " events");
    }
    out.push_back(actions);
    if (s.batches > 0) {
        out.push_back({"first", ax.at(s.earliest), "first batch", ax.text(s.earliest)});
        out.push_back({"last", ax.at(s.latest), "last batch", ax.text(s.latest)});
        out.push_back({"span",
                       {{"seconds", seconds_of(s.span())}, {"text", format_seconds(s.span())}},
                       "span",
                       format_seconds(s.span()) + " s"});
    }
    const double rate = s.span() > 0 ? static_cast<double>(s.events) / seconds_of(s.span()) : 0;
    char rate_text[64] = "none";
    if (s.span() > 0) std::snprintf(rate_text, sizeof rate_text, "%.3f", rate);
    out.push_back(
        {"events_per_second", s.span() > 0 ? json(rate) : json(nullptr), "events per second", rate_text});
    for (const peak_window* p : {&f.per_second, &f.per_10ms}) {
        figure peak{"peaks[]",
                    {{"window", seconds_of(p->width())}, {"events", p->peak()}},
                    p == &f.per_second ? "peak in 1 s" : "peak in 10 ms",
                    std::to_string(p->peak()) + " events"};
        if (s.batches > 0) {
            peak.value["at"] = ax.at(p->at());
            peak.text += " from " + ax.text(p->at());
        }
        out.push_back(peak);
    }
    const std::vector<batch_gap> gaps = s.gaps.longest();
    figure longest{"longest_gaps", json::array(), "longest gaps", gaps.empty() ? "none" : ""};
    for (const batch_gap& g : gaps) {
        longest.value.push_back({{"seconds", seconds_of(g.length)},
                                 {"text", format_seconds(g.length)},
                                 {"after_batch", g.index - 1},
                                 {"before_batch", g.index},
                                 {"from", ax.at(g.from)}});
        longest.lines.push_back(format_seconds(g.length) + " s between batches " +
                                std::to_string(g.index - 1) + " and " + std::to_string(g.index) + ", from " +
                                format_seconds(g.from) + " s");
    }
    out.push_back(longest);
    figure types{"value_types", json::object(), "value types", ""};
    for (int code = 0; code < type_codes; ++code) {
        if (f.types[code] == 0) continue;
        types.value[type_label(code)] = f.types[code];
        types.lines.push_back(padded(type_label(code), 18) + " " + std::to_string(f.types[code]) + " events");
    }
    out.push_back(types);
    figure busiest{"busiest_prefixes",
                   {{"approximate", f.prefixes.approximate()}, {"top", json::array()}},
                   "busiest prefixes",
                   f.prefixes.approximate() ? "(approximate: more prefixes than counters)" : ""};
    for (const auto& [key, count] : f.prefixes.top(10)) {
        busiest.value["top"].push_back({{"prefix", key}, {"events", count}});
        busiest.lines.push_back(padded(key, 40) + " " + std::to_string(count) + " events");
    }
    out.push_back(busiest);
    out.push_back({"out_of_order_batches", s.out_of_order, "out of order",
                   std::to_string(s.out_of_order) + " batches"});
    out.push_back(
        {"shared_time_batches", s.shared_time, "shared times", std::to_string(s.shared_time) + " batches"});
    out.push_back({"dropped_events", r.dropped_events, "dropped events", std::to_string(r.dropped_events)});
    return out;
}

void print_json(const std::vector<figure>& figures) {
    json j;
    for (const figure& f : figures) {
        if (f.key.ends_with("[]"))
            j[f.key.substr(0, f.key.size() - 2)].push_back(f.value);
        else
            j[f.key] = f.value;
    }
    std::printf("%s\n", j.dump(2).c_str());
}

void print_text(const std::vector<figure>& figures) {
    for (const figure& f : figures) {
        if (f.label != nullptr && f.text.empty()) std::printf("%s\n", f.label);
        if (f.label != nullptr && !f.text.empty()) std::printf("%-20s %s\n", f.label, f.text.c_str());
        for (const std::string& line : f.lines) std::printf("  %s\n", line.c_str());
    }
}

}  // namespace

int run_info(const info_options& o) {
    std::optional<input_log> in = open_input(o.file);
    if (!in) return exit_usage;
    log_cursor cursor(std::move(*in));
    auto counts = std::make_unique<info_counts>();
    log_batch b;
    while (cursor.next(b)) counts->add(b.batch);
    if (cursor.failed()) return cursor.refuse();
    const std::vector<figure> figures = figures_of(cursor, *counts);
    if (o.json)
        print_json(figures);
    else
        print_text(figures);
    return exit_ok;
}

}  // namespace logtool
