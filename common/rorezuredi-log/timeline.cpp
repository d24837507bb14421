// timeline: events per time bin and action, as rows in the terminal and as a
// chart (SVG or PNG). Bins are counted while the log streams by: with no
// width given they start at 1 ns and grow tenfold whenever there are too many,
// so that any final width of 1, 2 or 5 times a power of ten regroups them
// exactly.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "chart.h"
#include "commands.h"
#include "log_cursor.h"
#include "log_stats.h"

namespace logtool {

namespace {

constexpr std::size_t fine_bins = 4000;   // kept while streaming, without --bin
constexpr std::size_t max_rows = 100000;  // with --bin
constexpr std::size_t text_rows = 40;     // about this many rows without --bin
constexpr std::size_t chart_bars = 120;   // about this many bars in a chart without --bin
constexpr int bar_width = 60;

nanos floor_div(nanos a, nanos b) {
    const nanos q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

void merge_into(time_bin& to, const time_bin& from) {
    for (std::size_t a = 0; a < action_count; ++a) to.events[a] += from.events[a];
    if (from.first_index < 0) return;
    to.first_index = to.first_index < 0 ? from.first_index : std::min(to.first_index, from.first_index);
    to.end_index = std::max(to.end_index, from.end_index);
}

// Bins of one width aligned at multiples of it on the batch-time axis.
class binner {
public:
    binner(nanos width, std::size_t limit, bool coarsen)
        : m_width(width), m_limit(limit), m_coarsen(coarsen) {}

    // False when a fixed width would need more bins than the limit.
    bool add(long long index, nanos t, std::size_t slot, long long events) {
        nanos at = floor_div(t, m_width);
        if (m_bins.empty()) m_base = at;
        while (at < m_base || at >= m_base + static_cast<nanos>(m_bins.size())) {
            const nanos lo = std::min(at, m_base),
                        hi = std::max(at, m_base + static_cast<nanos>(m_bins.size()) - 1);
            if (!m_bins.empty() && hi - lo + 1 > static_cast<nanos>(m_limit)) {
                if (!m_coarsen) return false;
                coarsen();
                at = floor_div(t, m_width);
                continue;
            }
            if (m_bins.empty()) m_bins.emplace_back();
            while (at < m_base) {
                m_bins.emplace_front();
                --m_base;
            }
            while (at >= m_base + static_cast<nanos>(m_bins.size())) m_bins.emplace_back();
        }
        time_bin& b = m_bins[static_cast<std::size_t>(at - m_base)];
        if (slot < action_count) b.events[slot] += events;
        merge_into(b, time_bin{{}, index, index + 1});
        return true;
    }

    // Regroups into bins of `factor` times the width (at least 1).
    chart_data regroup(long long factor) const {
        chart_data out;
        out.width = m_width * factor;
        if (m_bins.empty()) return out;
        const nanos first = floor_div(m_base, factor);
        const nanos last = floor_div(m_base + static_cast<nanos>(m_bins.size()) - 1, factor);
        out.origin = first * out.width;
        out.bins.resize(static_cast<std::size_t>(last - first + 1));
        for (std::size_t i = 0; i < m_bins.size(); ++i)
            merge_into(
                out.bins[static_cast<std::size_t>(floor_div(m_base + static_cast<nanos>(i), factor) - first)],
                m_bins[i]);
        // An empty bin covers no batch: an empty range where the one before ends.
        long long end = 0;
        for (time_bin& b : out.bins) {
            if (b.first_index < 0) b.first_index = b.end_index = end;
            end = b.end_index;
        }
        return out;
    }

    // The factor giving about `rows` bins (at most a quarter more) of a width of 1, 2 or 5 times a power of
    // ten.
    long long factor_for(std::size_t rows) const {
        const nanos span = m_width * static_cast<nanos>(m_bins.size());
        for (nanos w = m_width;; w *= 10)
            for (const int m : {1, 2, 5})
                if (4 * span <= 5 * w * m * static_cast<nanos>(rows))
                    return static_cast<long long>(w * m / m_width);
    }

private:
    void coarsen() {
        std::deque<time_bin> merged;
        const nanos base = floor_div(m_base, 10);
        for (std::size_t i = 0; i < m_bins.size(); ++i) {
            const auto at = static_cast<std::size_t>(floor_div(m_base + static_cast<nanos>(i), 10) - base);
            if (at >= merged.size()) merged.resize(at + 1);
            merge_into(merged[at], m_bins[i]);
        }
        m_bins = std::move(merged);
        m_base = base;
        m_width *= 10;
    }

    nanos m_width;
    std::size_t m_limit;
    bool m_coarsen;
    nanos m_base = 0;
    std::deque<time_bin> m_bins;
};

void print_rows(const chart_data& d, bool colour) {
    long long most = 0;
    for (const time_bin& b : d.bins) most = std::max(most, b.total());
    std::printf("legend:");
    for (std::size_t a = 0; a < action_count; ++a)
        std::printf(" %c %s", action_styles[a].letter, action_label(a));
    std::printf("\n%16s  %-17s %10s\n", "start (s)", "batches", "events");
    for (std::size_t i = 0; i < d.bins.size(); ++i) {
        const time_bin& b = d.bins[i];
        const std::string range = std::to_string(b.first_index) + ":" + std::to_string(b.end_index);
        std::printf("%16s  %-17s %10lld ", format_seconds(d.origin + d.width * static_cast<nanos>(i)).c_str(),
                    range.c_str(), b.total());
        // Cumulative rounding keeps the stacked bar's length that of the total.
        long long sum = 0;
        int drawn = 0;
        for (std::size_t a = 0; a < action_count; ++a) {
            sum += b.events[a];
            int upto = most > 0 ? static_cast<int>((sum * bar_width + most / 2) / most) : 0;
            if (b.events[a] > 0 && upto == drawn && drawn == 0) upto = 1;  // a bin with events shows one mark
            if (upto > drawn && colour) std::fputs(action_styles[a].ansi, stdout);
            for (; drawn < upto; ++drawn) std::putchar(action_styles[a].letter);
            if (colour) std::fputs("\033[0m", stdout);
        }
        std::putchar('\n');
    }
}

}  // namespace

int run_timeline(const timeline_options& o) {
    std::optional<input_log> in = open_input(o.file);
    if (!in) return exit_usage;
    log_cursor cursor(std::move(*in));
    const std::string name = cursor.input().display();
    const nanos bin = o.bin.value_or(0);
    binner bins(o.bin ? bin : 1, o.bin ? max_rows : fine_bins, !o.bin);
    batch_summary summary(3);
    bool too_many = false;
    for (log_batch b; !too_many && cursor.next(b);) {
        summary.add(b.batch);
        too_many = !bins.add(b.index, to_nanos(b.batch.time), action_slot(b.batch.cmd),
                             static_cast<long long>(b.batch.events.size()));
    }
    if (too_many) {
        std::fprintf(stderr,
                     "rorezuredi-log: bins of %s s would give more than %zu rows; give a wider --bin\n",
                     format_seconds(bin).c_str(), max_rows);
        return exit_usage;
    }
    if (cursor.failed()) return cursor.refuse();
    const bool fixed = o.bin.has_value();
    const std::string span = format_seconds(summary.span());
    chart_data rows = bins.regroup(fixed ? 1 : bins.factor_for(text_rows));
    std::printf("timeline of %s: %lld batches, %lld events, span %s s, bins of %s s\n", name.c_str(),
                summary.batches, summary.events, span.c_str(), format_seconds(rows.width).c_str());
    print_rows(rows, isatty(STDOUT_FILENO) == 1);

    if (o.svg.empty() && o.png.empty()) return exit_ok;
    chart_data chart = fixed ? std::move(rows) : bins.regroup(bins.factor_for(chart_bars));
    chart.title = name + ": " + std::to_string(summary.events) + " events over " +
                  span.substr(0, span.size() - 6) + " s";
    chart.gaps = summary.gaps.longest();
    for (const auto& [path, format] :
         {std::pair{o.svg, chart_format::svg}, std::pair{o.png, chart_format::png}}) {
        if (path.empty()) continue;
        if (!draw_chart(chart, format, path)) return exit_usage;
    }
    return exit_ok;
}

}  // namespace logtool
