// Feeds the log reader from memory: shared by the reader's unit tests and its
// fuzz target, so it must not depend on the test framework.
#ifndef MEMORY_LOG_H
#define MEMORY_LOG_H

#include <cstdio>
#include <memory>

#include "rorezuredi.h"

// Puts program_state back to its initial value (no test opens its connection).
inline void reset_program_state() {
    std::destroy_at(&program_state);
    std::construct_at(&program_state);
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
