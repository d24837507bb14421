// The events of a log one batch at a time, as print and export show them:
// the batches the selection keeps, with the events replay would drop for a
// value that does not convert, and the pieces of text each row is made of.
#ifndef ROREZUREDI_LOG_EVENT_ROWS_H
#define ROREZUREDI_LOG_EVENT_ROWS_H

#include <functional>
#include <string>
#include <string_view>

#include "log_cursor.h"
#include "selection.h"

namespace logtool {

// The cursor yields what these subcommands show: every event, those replay
// drops included.
constexpr cursor_mode every_event{.unconverted_events = true};

// Hands every batch of `cursor` that `select` keeps to `show`; the exit
// status (a refused log after its message).
int show_batches(log_cursor& cursor, const selection& select,
                 const std::function<void(const log_batch&)>& show);

// A set-leaf event's value as the log's text holds it (kept in `scratch`).
std::string_view value_text(const event_instance_t& ev, std::string& scratch);
// The name of the event's declared type, as the log writes it.
const char* type_name(const event_instance_t& ev);
bool has_timestamp(const event_instance_t& ev);
// The last component of a path.
std::string_view leaf_of(std::string_view path);

}  // namespace logtool

#endif
