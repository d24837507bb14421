// An input log of rorezuredi-log: a file or standard input, plain or
// compressed, and the one way of saying that a log was refused.
#ifndef ROREZUREDI_LOG_INPUT_H
#define ROREZUREDI_LOG_INPUT_H

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "compression.h"
#include "rorezuredi.h"

namespace logtool {

// Exit statuses.
constexpr int exit_ok = 0;
constexpr int exit_refused = 1;  // the log was refused (or, for check --strict, drew warnings)
constexpr int exit_usage = 2;    // a usage error or a file that can't be opened or written

struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

struct input_log {
    std::string name;  // as given on the command line
    file_ptr stream;   // the log's plain text
    compression packed = compression::none;
    std::shared_ptr<decode_note> note;  // for a compressed input
    long long size = -1;                // bytes of text, when known (a plain regular file)
    dev_t dev = 0;
    ino_t ino = 0;
    bool regular = false;

    // "standard input" for "-", else the name.
    std::string display() const;
};

// Opens `name` ("-": standard input), recognising gzip and zstd by their
// magic bytes; nullopt after a one-line message (exit_usage).
std::optional<input_log> open_input(const std::string& name);

// "FILE:LINE:COLUMN: error: REASON (byte N)" for a refused log.
std::string refusal_line(const std::string& file, const log_read_report_t& r);
// Writes that line, what the decompression met and a hint to standard error;
// returns exit_refused.
int refuse(const input_log& in, const log_read_report_t& r);

}  // namespace logtool

#endif
