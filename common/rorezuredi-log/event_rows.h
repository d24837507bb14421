// The events of a log one batch at a time, as print and export show them:
// the selected events of each batch with its index, times and start, and
// which of them replay would drop because their value does not convert.
#ifndef ROREZUREDI_LOG_EVENT_ROWS_H
#define ROREZUREDI_LOG_EVENT_ROWS_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "log_io.h"
#include "selection.h"

namespace logtool {

struct shown_batch {
    long long index = 0;  // as slice --batches counts; a batch replay drops whole has the next one's
    nanos time = 0;
    bool has_start = false;
    nanos start = 0;                       // the log's start element, when has_start
    const event_batch_t* batch = nullptr;  // with the events the selection keeps
    std::vector<unsigned char> dropped;    // per event: 1 when replay drops it
};

// Reads `in` and hands every batch the selection keeps to `show`; returns
// the exit status (a refused log after its message).
int show_batches(const selection_options& o, input_log& in,
                 const std::function<void(const shown_batch&)>& show);

// Replay drops the event: its value stayed text that does not convert.
bool replay_drops(const event_instance_t& ev);
// A set-leaf event's value as the log's text holds it (kept in `scratch`).
std::string_view value_text(const event_instance_t& ev, bool dropped, std::string& scratch);
// The name of the event's declared type, as the log writes it.
const char* type_name(const event_instance_t& ev);
bool has_timestamp(const event_instance_t& ev);
// The last component of a path.
std::string_view leaf_of(std::string_view path);
// Decimal digits of a (possibly negative) number.
void append_integer(std::string& out, nanos v);
// The event's timestamp as the log writes it, "SEC.USEC" with six digits.
void append_event_time(std::string& out, const timeval& t);

// Appends `text` escaped as veltctl dump escapes: backslash, tab, line feed
// and carriage return as \\, \t, \n, \r, other control bytes as \xHH.
void append_visible(std::string& out, std::string_view text);

}  // namespace logtool

#endif
