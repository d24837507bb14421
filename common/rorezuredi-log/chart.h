// The timeline's chart: stacked bars of events per time bin and action,
// drawn with Cairo into an SVG or a PNG file.
#ifndef ROREZUREDI_LOG_CHART_H
#define ROREZUREDI_LOG_CHART_H

#include <array>
#include <string>
#include <vector>

#include "log_stats.h"

namespace logtool {

struct time_bin {
    std::array<long long, action_count> events{};
    long long first_index = -1;  // batch indexes covered, [first, end)
    long long end_index = -1;
    long long total() const;
};

struct chart_data {
    std::string title;
    nanos origin = 0;  // start of the first bin on the batch-time axis
    nanos width = 1;   // of every bin
    std::vector<time_bin> bins;
    std::vector<batch_gap> gaps;  // the longest, to shade
};

enum class chart_format { svg, png };

// Draws the chart into `path`, put in place when complete; false after a message.
bool draw_chart(const chart_data& data, chart_format format, const std::string& path);

}  // namespace logtool

#endif
