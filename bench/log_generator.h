// Synthetic event logs for the benchmarks: router-like configuration traffic
// written byte for byte as rorezuredi's capture writes it, together with the
// same requests as a `veltctl batch` file.
#ifndef BENCH_LOG_GENERATOR_H
#define BENCH_LOG_GENERATOR_H

#include <cstdint>
#include <string>

namespace bench {

struct log_options {
    long events = 1000000;   // events to write (the last batch is cut to fit)
    uint64_t seed = 1;       // the same seed gives the same log
    long spacing_us = 1000;  // mean gap between batch times
    // Pacing log: one-leaf set batches (/pacing/bN, uint32 N) exactly
    // spacing_us apart, batch N at N * spacing_us.
    bool pacing = false;
};

struct log_summary {
    long events = 0;
    long batches = 0;
    uint64_t log_bytes = 0;
};

// Writes the log to log_path and, unless batch_path is empty, the equivalent
// `veltctl batch` file (one request per batch, in time order). Throws
// std::runtime_error when a file cannot be written.
log_summary write_log(const log_options& opt, const std::string& log_path, const std::string& batch_path);

}  // namespace bench

#endif
