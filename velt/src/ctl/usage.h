// veltctl's command line: the usage text, the check of a command's words,
// and the parsing of its arguments.
#ifndef VELT_CTL_USAGE_H
#define VELT_CTL_USAGE_H

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velt::ctl {

// The short usage text.
extern const char* const usage_text;

// Checks the words of one command (words[0] is its name): known command,
// right number and form of arguments. Throws a usage failure. Within a
// batch, watch and batch are not allowed.
void check_usage(const std::vector<std::string>& words, bool in_batch);

// Throws a usage failure.
[[noreturn]] void usage(const std::string& message);

// `text` escaped and in single quotes, for messages.
std::string quoted(std::string_view text);

// The whole of `text` as a number.
template <typename T>
bool parse_number(const std::string& text, T& v) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    return !text.empty() && r.ec == std::errc{} && r.ptr == end;
}

// A failpoint count: a positive number, or "always" (-1).
bool parse_count(const std::string& text, int64_t& count);

}  // namespace velt::ctl

#endif
