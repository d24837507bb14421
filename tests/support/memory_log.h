// Feeds the log reader from memory: shared by the reader's unit tests and its
// fuzz target, so it must not depend on the test framework.
#ifndef MEMORY_LOG_H
#define MEMORY_LOG_H

#include <cstdio>

#include "rorezuredi.h"

// Puts every field of program_state except the connection back to its
// initial value.
inline void reset_program_state() {
    ProgramState& ps = program_state;
    ps.data_file_name.clear();
    ps.include_paths.clear();
    ps.exclude_paths.clear();
    ps.include_attrs.clear();
    ps.exclude_attrs.clear();
    ps.parser = nullptr;
    ps.char_data.clear();
    ps.batch_in_progress = false;
    ps.event_in_progress = false;
    ps.current_batch = event_batch_t();
    ps.start_time = timespec{0, 0};
    ps.batches.clear();
    ps.mode = RUN_MODE_UNSET;
    ps.use_original_delays = false;
    ps.wait_delay_us = 0;
    ps.preserve_timestamps = false;
    ps.clock_origin = timespec{0, 0};
    ps.spinner_index = 0;
}

constexpr int memory_log_unopened = -99;

// Reads `size` bytes at `data` as a log from a freshly reset state; the
// batches read are left in program_state. Returns the reader's result, or
// memory_log_unopened when no stream could be made of the bytes.
inline int read_memory_log(char* data, size_t size) {
    reset_program_state();
    char spare = 0;  // an empty log still needs a buffer to point at
    FILE* log = fmemopen(size == 0 ? &spare : data, size, "r");
    return log == nullptr ? memory_log_unopened : parse_xml_file(log);
}

#endif
