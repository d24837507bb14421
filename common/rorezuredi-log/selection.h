// Which batches and events a subcommand works on: a time window, a range of
// batch indexes, actions, and the path and attribute rules of rorezuredi's
// own filter (-p, -x, -a, -i). cli.cpp fills one from the command line.
#ifndef ROREZUREDI_LOG_SELECTION_H
#define ROREZUREDI_LOG_SELECTION_H

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "log_cursor.h"
#include "log_time.h"

namespace logtool {

// Batch indexes [first, end); no end when end is -1.
struct batch_range {
    long long first = 0;
    long long end = -1;
    bool holds(long long index) const { return index >= first && (end < 0 || index < end); }
};
// "A:B" with either side left out; false with a message in `error` otherwise.
bool parse_batch_range(std::string_view text, batch_range& out, std::string& error);

struct selection {
    std::optional<time_arg> from, to;
    std::optional<batch_range> batches;
    std::vector<api_cmd_t> actions;        // none: all
    std::vector<tk_string> include_paths;  // canonicalised as rorezuredi does
    std::vector<tk_string> exclude_paths;
    std::set<tk_string> include_attrs, exclude_attrs;

    void include_path(std::string path);
    void exclude_path(std::string path);
    // A time was given as an ISO time, so the log's start places it.
    bool needs_start() const;
    // True when `b` is kept; the events the path rules refuse are erased
    // from it first (a batch left without events is not kept). `start` is
    // the log's start, used only when needs_start().
    bool keeps(log_batch& b, nanos start = 0) const;
};

}  // namespace logtool

#endif
