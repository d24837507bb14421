// Word splitting of veltctl batch input, the way a POSIX shell splits words.
#ifndef VELT_CTL_WORDS_H
#define VELT_CTL_WORDS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velt::ctl {

// What split_words made of the start of its input.
struct split_result {
    // False when the request may go on past the end of the input: no
    // unquoted line feed ends it, or a quote or a backslash is still open.
    bool complete = false;
    // With `final` and an incomplete request: what is left open.
    const char* error = nullptr;
    // Bytes the request took, its terminating line feed included.
    std::size_t used = 0;
};

// Splits the first request of `input` into `words` (replacing its contents).
// A request ends at a line feed outside quotes. Blanks and tabs separate
// words; single quotes keep everything literally, line feeds included;
// double quotes keep everything but a backslash before '"', '\', '$', '`' or
// a line feed; a backslash outside quotes takes the next character literally,
// and together with a line feed joins two lines. A '#' that begins a word
// starts a comment running to the end of the line. Nothing is expanded.
// `final` says that no input follows: a request without a line feed at its
// end is then complete, and an open quote or backslash is an error.
split_result split_words(std::string_view input, bool final, std::vector<std::string>& words);

}  // namespace velt::ctl

#endif
