// rorezuredi: records the change traffic of the Velt store into an XML event
// log (capture) and plays such a log back into the store (replay).
//
// This header holds the event records, the one process-wide ProgramState and
// the functions that the driver, the filter, capture and replay share.
#ifndef ROREZUREDI_H
#define ROREZUREDI_H

#include <expat.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <velt++.h>

#include "log_format.h"

// ---- Event records (event_log.cpp) ----------------------------------------

// One recorded change, as read from a log.
struct event_instance_t {
    tk_string path;
    data_type_t type = DATATYPE_INVALID;  // declared type of a set-leaf value
    toolkit::CElement value;              // timestamp = the event's recorded time

    event_instance_t() = default;
    event_instance_t(const event_instance_t& other);
    event_instance_t(event_instance_t&& other) noexcept;
    event_instance_t& operator=(event_instance_t&& other) noexcept;
    event_instance_t& operator=(const event_instance_t&) = delete;
    ~event_instance_t();
};

// A timestamped group of events that share one store command.
struct event_batch_t {
    timespec time{0, 0};  // offset from the first batch of the capture
    api_cmd_t cmd = api_cmd_t(0);
    std::vector<event_instance_t> events;

    event_batch_t() = default;
    event_batch_t(const event_batch_t& other);
    event_batch_t(event_batch_t&& other) noexcept;
    event_batch_t& operator=(event_batch_t&& other) noexcept;
    event_batch_t& operator=(const event_batch_t&) = delete;
    ~event_batch_t();

    bool operator<(const event_batch_t& other) const;
};

// Sorts batches into ascending time (introsort; not stable; moves, never copies).
void sort_batches(std::vector<event_batch_t>& batches);

// ---- Process-wide state ----------------------------------------------------

enum RunMode : int { RUN_MODE_UNSET = 0, RUN_MODE_CAPTURE = 1, RUN_MODE_REPLAY = 2 };

struct ProgramState {
    // Declared first so that it is constructed first and destroyed last.
    toolkit::CVelt api;
    tk_string data_file_name;
    std::vector<tk_string> include_paths;
    std::vector<tk_string> exclude_paths;
    std::set<tk_string> include_attrs;
    std::set<tk_string> exclude_attrs;
    XML_Parser parser = nullptr;
    tk_string char_data;
    bool batch_in_progress = false;
    bool event_in_progress = false;
    event_batch_t current_batch;
    timespec start_time{0, 0};
    std::vector<event_batch_t> batches;
    RunMode mode = RUN_MODE_UNSET;
    bool use_original_delays = false;
    long wait_delay_us = 0;
    bool preserve_timestamps = false;
    timespec clock_origin{0, 0};
    unsigned int spinner_index = 0;
};

extern ProgramState program_state;

// ---- Driver (rorezuredi.cpp) ------------------------------------------------

void usage(const char* str);
void version(const char* str);
FILE* open_data_file(bool for_write);

// ---- Filter (filter.cpp) -----------------------------------------------------

// The filter's rules, wherever they are kept (ProgramState's for the tool).
struct filter_rules_t {
    const std::vector<tk_string>& include_paths;
    const std::vector<tk_string>& exclude_paths;
    const std::set<tk_string>& include_attrs;
    const std::set<tk_string>& exclude_attrs;
};

// Whether `rules` use one event of `path` recorded under `cmd`.
bool rules_use(const filter_rules_t& rules, const tk_string& path, api_cmd_t cmd);
// The same under ProgramState's rules.
bool ok_to_use(const tk_string& path, api_cmd_t cmd);

// ---- Capture (capture.cpp) ---------------------------------------------------

extern volatile sig_atomic_t running;
extern int __signal_pipepair[2];
extern int select_fd1;
extern int select_fd2;

void on_termination_signal(int sig);
void register_handlers();
// Blocks the four termination signals; `saved` receives the mask to restore.
// Writes to the log run with them held, so that none can cut a write short.
void hold_termination_signals(sigset_t& saved);
int register_for_changes();
// 0 to go on; 1 when the fetch failed or the batch could not be written to
// the log (the message is written either way).
int capture_event_batch(FILE* log);
// Writes the one message about a failed write to the log, err being the
// errno of that write (0: unknown).
void report_log_write_error(int err);
void dump_event(FILE* log, const toolkit::CEvent& ev);
const char* ev_action_str(api_cmd_t cmd);

// ---- Replay (replay.cpp) -----------------------------------------------------

int parse_xml_file(FILE* log);
int parse_loop(FILE* log);
void start_handler(void* user_data, const XML_Char* name, const XML_Char** attrs);
void end_handler(void* user_data, const XML_Char* name);
void char_handler(void* user_data, const XML_Char* s, int len);
int process_batch(event_batch_t& batch);
int process_event_batches();

// ---- The reader as an object (replay.cpp) -------------------------------------
//
// One read of one log. parse_xml_file binds a reader to ProgramState's fields
// and appends its batches to ProgramState.batches; programs that stream logs
// (rorezuredi-log) bind readers to fields of their own, one per log, and
// take each finished batch as it closes. The handlers find their reader
// through the parser's user data.

// How a read ended.
enum log_read_end_t : int {
    LOG_READ_COMPLETE = 0,     // the document was read to its end without error
    LOG_READ_BROKEN_RULE,      // a rule of the log was broken (the reader stopped the parser)
    LOG_READ_CUT_SHORT,        // the document ended inside an open element, nothing else wrong
    LOG_READ_NOT_WELL_FORMED,  // the XML parser refused the document
    LOG_READ_OUT_OF_MEMORY,    // no parser or parser buffer could be had
};

// What a read has met so far, and its first error.
struct log_read_report_t {
    long long bytes = 0;           // bytes read from the stream
    long long batch_end = 0;       // byte offset just past the last batch end tag taken
    long batches_closed = 0;       // batch end tags taken, batches without events included
    int open_elements = 0;         // elements open at this point of the document
    bool start_seen = false;       // a valid start element was read
    long dropped_events = 0;       // events whose value did not convert
    long unknown_tags = 0;         // start tags of other names than the format's
    long unknown_attributes = 0;   // attributes the format does not have
    long ignored_types = 0;        // types on events outside CMD_SET_LEAF batches
    long unexpected_end_tags = 0;  // end tags with nothing of theirs open
    long invalid_event_times = 0;  // event times that did not read

    log_read_end_t end = LOG_READ_COMPLETE;
    std::string reason;  // the reader's first error message, or the XML parser's reason
    unsigned long line = 0;
    unsigned long column = 0;  // 1-based
    long long offset = 0;      // byte offset of the error

    bool failed() const { return end != LOG_READ_COMPLETE; }
};

// The working state of a reader that does not use ProgramState's.
struct log_reader_fields_t {
    XML_Parser parser = nullptr;
    tk_string char_data;
    bool batch_in_progress = false;
    bool event_in_progress = false;
    event_batch_t current_batch;
    timespec start_time{0, 0};
};

struct log_reader_t {
    XML_Parser& parser;
    tk_string& char_data;
    bool& batch_in_progress;
    bool& event_in_progress;
    event_batch_t& current_batch;
    timespec& start_time;
    // Hears of every batch that closes without error, one without events
    // included; the reader empties the batch's events afterwards.
    std::function<void(event_batch_t&)> on_batch;
    log_read_report_t report;
};

// A reader over `fields` that hands its batches to `on_batch`.
log_reader_t bind_log_reader(log_reader_fields_t& fields, std::function<void(event_batch_t&)> on_batch);

// Creates the reader's parser and resets its report; 0, or -1 after a
// message when no parser can be made. The reader must not move until
// end_log_read.
int begin_log_read(log_reader_t& reader);
// Reads and parses one piece of the log: 1 when there is more, 0 at the end
// of a document read without error, -1 when the read failed.
int read_log_piece(log_reader_t& reader, FILE* log);
// Frees the parser; the stream stays open.
void end_log_read(log_reader_t& reader);

// Erases the events `keep` refuses, in one pass and in place: each kept event
// is moved straight to its final place and the tail is destroyed at the end.
template <class Keep>
void keep_events(event_batch_t& batch, Keep&& keep) {
    std::vector<event_instance_t>& events = batch.events;
    size_t kept = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (!keep(events[i])) continue;
        if (kept != i) events[kept] = std::move(events[i]);
        ++kept;
    }
    events.erase(events.begin() + static_cast<std::ptrdiff_t>(kept), events.end());
}

#endif
