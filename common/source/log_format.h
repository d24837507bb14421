// The event log format: the names of its elements, attributes and commands,
// and the writer of each element with its exact bytes. Capture writes through
// it, and so does every other program that writes a log (rorezuredi-log, the
// fuzz target, the benchmarks' generator, the tests), so that all of them
// write the same document.
#ifndef LOG_FORMAT_H
#define LOG_FORMAT_H

#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <string>

#include <velt++.h>

struct event_batch_t;

extern const char log_declaration[];  // the declaration line, line end included
extern const char log_root_tag[];     // "dump"
extern const char log_start_tag[];    // "start"
extern const char log_batch_tag[];    // "batch"
extern const char log_event_tag[];    // "event"
extern const char log_time_attr[];    // "time"
extern const char log_action_attr[];  // "action"
extern const char log_path_attr[];    // "path"
extern const char log_type_attr[];    // "type"

// The log name of a command ("CMD_SET_LEAF", ...), or null for a command
// that has none.
const char* action_name(api_cmd_t cmd);
// The command of a log name (exact and case-sensitive), 0 for any other text.
api_cmd_t action_code(const char* name);

// The declaration and the root's opening tag.
void write_log_head(FILE* log);
// The start element: wall-clock time, nanoseconds without leading zeros.
void write_start(FILE* log, const timespec& start);
// A batch's opening tag: time since the first batch, nanoseconds in 9 digits.
void write_batch_open(FILE* log, const timespec& time, const char* action);
// One event element recorded under `cmd`: the escaped path and the value's
// timestamp; for CMD_SET_LEAF also the type's name and the escaped value text.
void write_event(FILE* log, api_cmd_t cmd, const tk_string& path, const toolkit::CElement& value);
// An event's time as its element holds it: "SEC.USEC", six digits of microseconds.
void append_event_time(std::string& out, const timeval& time);
void write_batch_close(FILE* log);
// The root's closing tag.
void write_log_tail(FILE* log);
// A whole batch as the reader holds it: opening tag, its events, closing tag.
void write_batch(FILE* log, const event_batch_t& batch);

#endif
