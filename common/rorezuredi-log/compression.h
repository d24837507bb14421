// Compressed logs: gzip and zstd streams read and written through stdio, so
// that the reader and the log writer see plain text either way.
#ifndef ROREZUREDI_LOG_COMPRESSION_H
#define ROREZUREDI_LOG_COMPRESSION_H

#include <cstdio>
#include <memory>
#include <string>

namespace logtool {

enum class compression { none, gzip, zstd };

// Bytes enough to tell the formats apart.
constexpr std::size_t magic_size = 4;
// The format whose magic bytes `head` begins with.
compression compression_of_head(const std::string& head);
// The format an output name asks for: ".gz" or ".zst" at its end.
compression compression_of_name(const std::string& name);
const char* compression_name(compression c);

// What a decompressing stream met: how far it got and whether its input
// ended inside a frame or was not of its format.
struct decode_note {
    long long packed_bytes = 0;
    bool cut_off = false;
    std::string error;  // the library's reason for data it refused
};

// A stream of the plain text of `raw` (taken over), whose first bytes, already
// read from it, are `head`. Null with errno set when no stream can be made.
FILE* open_decoding(FILE* raw, compression c, std::string head, std::shared_ptr<decode_note> note);
// A stream that compresses into `raw` (taken over); closing it ends the
// compressed stream and closes `raw`, and fails when either fails.
FILE* open_encoding(FILE* raw, compression c);

}  // namespace logtool

#endif
