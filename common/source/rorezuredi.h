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
#include <set>
#include <vector>

#include <velt++.h>

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

#endif
