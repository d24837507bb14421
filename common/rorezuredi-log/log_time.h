// Times in rorezuredi-log: one nanosecond type for every time a log or a
// command line holds, the log's seconds text, and ISO 8601 UTC times.
#ifndef ROREZUREDI_LOG_TIME_H
#define ROREZUREDI_LOG_TIME_H

#include <ctime>
#include <string>
#include <string_view>

namespace logtool {

// Nanoseconds; wide enough for any time a log can hold and for products of two.
using nanos = __int128;
constexpr nanos ns_per_s = 1000000000;

nanos to_nanos(const timespec& t);
// False when `ns` has no timespec form with seconds >= 0.
bool to_timespec(nanos ns, timespec& out);

// The log's seconds text: "12.500000000" (a sign when negative).
std::string format_seconds(nanos ns);
// The same without trailing zeros: "12.5", "0", "0.000000001".
std::string short_seconds(nanos ns);
// ISO 8601 UTC, "2026-12-06T19:04:13.5Z" (fraction without trailing zeros).
std::string format_iso(nanos since_epoch);

// A plain number of seconds, "12.5", "-.25" (digits past the ninth are cut off).
bool parse_seconds(std::string_view text, nanos& out);

// A time on the command line: seconds on the log's batch-time axis, or an
// absolute ISO 8601 UTC time, placed on that axis through the log's start.
struct time_arg {
    bool absolute = false;
    nanos value = 0;  // on the axis, or since the epoch

    // The time on the axis of a log whose start is `start` (used only when absolute).
    nanos on_axis(nanos start) const { return absolute ? value - start : value; }
};
// False with a message in `error` when `text` is neither form.
bool parse_time_arg(std::string_view text, time_arg& out, std::string& error);

}  // namespace logtool

#endif
