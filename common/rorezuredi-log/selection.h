// The batches and events a subcommand shows: slice's selection (a time
// window, an index range, actions and path rules), parsed once.
#ifndef ROREZUREDI_LOG_SELECTION_H
#define ROREZUREDI_LOG_SELECTION_H

#include <string>
#include <vector>

#include "log_io.h"

namespace logtool {

struct selection_options {
    std::string from_text, to_text, batches_text;
    path_filter_args filter;
    std::vector<std::string> actions;
};

class selection {
public:
    // The texts were checked on the command line. Installs the path filter.
    explicit selection(const selection_options& o);

    // Places ISO times on the log's axis once the cursor is primed; false
    // after a message when the log has no start to place them by.
    bool place(const log_cursor& cursor, const input_log& in);
    // Whether the batch of `index` (file order among batches with events) is
    // kept; erases the events the path rules refuse.
    bool keeps(long long index, event_batch_t& batch) const;

private:
    time_arg m_from, m_to;
    nanos m_from_ns = 0, m_to_ns = 0;
    long long m_first = 0, m_end = -1;
    std::vector<api_cmd_t> m_actions;
};

}  // namespace logtool

#endif
