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
#include <functional>
#include <set>
#include <string>
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

// ---- Reading a log piece by piece (replay.cpp) --------------------------------
//
// The same reader, for programs that stream a log instead of keeping it
// (rorezuredi-log): it is fed one piece at a time, hands each finished batch
// to a callback, and keeps a report of what it met and where it failed.

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

    bool failed = false;
    bool by_rule = false;  // the reader's own rules refused the log (else the XML parser did)
    int xml_error = 0;     // the XML parser's error code (XML_Error)
    std::string reason;    // the reader's first error message, or the XML parser's reason
    unsigned long line = 0;
    unsigned long column = 0;  // 1-based
    long long offset = 0;      // byte offset of the error
};

// The reader's working state, for reading several logs in turns: each log
// has one, swapped into program_state around each of its pieces.
struct log_reader_state_t {
    XML_Parser parser = nullptr;
    tk_string char_data;
    bool batch_in_progress = false;
    bool event_in_progress = false;
    event_batch_t current_batch;
    timespec start_time{0, 0};
    log_read_report_t report;
    std::function<void(event_batch_t&)> on_batch;
};

// When set, every batch that closes without error, one without events
// included, is handed to it instead of being appended to program_state.batches.
extern std::function<void(event_batch_t&)> on_batch_read;
// When set, an event whose value does not convert to its declared type stays
// in its batch, its value the text as read (it is counted as dropped all the same).
extern bool keep_unconverted_events;
extern log_read_report_t log_read_report;

// Creates the parser, resets the report; 0, or -1 when no parser can be made.
int begin_log_read();
// Reads and parses one piece of the log: 1 when there is more, 0 at the end
// of a document read without error, -1 when the read failed.
int read_log_piece(FILE* log);
// Frees the parser and closes the stream.
void end_log_read(FILE* log);
// Exchanges the reader's state in program_state (and the callback and the
// report) with `state`.
void swap_log_reader(log_reader_state_t& state);

#endif
