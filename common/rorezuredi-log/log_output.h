// Putting a file in place: written to a temporary file beside it and renamed
// over it only once complete, compressed when its name ends in .gz or .zst.
// Every file rorezuredi-log writes goes this way.
#ifndef ROREZUREDI_LOG_OUTPUT_H
#define ROREZUREDI_LOG_OUTPUT_H

#include <cstdio>
#include <string>
#include <vector>

#include "log_input.h"

namespace logtool {

class output_file {
public:
    output_file() = default;
    ~output_file() { discard(); }
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // "-" is standard output. An output that is one of `inputs`, or a
    // directory, is refused. False after a one-line message (exit_usage).
    bool open(const std::string& name, const std::vector<const input_log*>& inputs = {});
    // Without compression whatever the name (a chart).
    bool open_plain(const std::string& name);
    FILE* stream() const { return m_stream; }
    // Flushes and closes the stream, then renames the file into place;
    // false after a message naming the file (the temporary file is removed).
    bool commit();
    // Throws the temporary file away.
    void discard();

private:
    bool open_as(const std::string& name, bool plain, const std::vector<const input_log*>& inputs);
    bool fail(int err);

    std::string m_name, m_temp;
    FILE* m_stream = nullptr;
    std::vector<char> m_buffer;
};

}  // namespace logtool

#endif
