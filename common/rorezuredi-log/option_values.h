// The values of rorezuredi-log's options, each parsed once from its text
// into its type: parse(text, out, error) gives false with a message in
// `error` for a text it refuses. cli.cpp hands them to CLI11's validators.
#ifndef ROREZUREDI_LOG_OPTION_VALUES_H
#define ROREZUREDI_LOG_OPTION_VALUES_H

#include <optional>
#include <string>
#include <vector>

#include "log_time.h"
#include "rorezuredi.h"
#include "selection.h"

namespace logtool {

bool time_value(const std::string& text, std::optional<time_arg>& out, std::string& error);
// An absolute time (ISO 8601 UTC, not before the epoch), in ns since the epoch.
bool iso_value(const std::string& text, std::optional<nanos>& out, std::string& error);
bool range_value(const std::string& text, std::optional<batch_range>& out, std::string& error);
// One of the store's action names; appended to `out`.
bool action_value(const std::string& text, std::vector<api_cmd_t>& out, std::string& error);

enum class export_format;  // commands.h
// "jsonl" or "csv".
bool format_value(const std::string& text, export_format& out, std::string& error);
// A whole number above 0 (a count of copies).
bool count_value(const std::string& text, long long& out, std::string& error);
// A path of the store, canonicalised as the store does; appended to `out`.
bool store_path_value(const std::string& text, std::vector<std::string>& out, std::string& error);

// Seconds with a bound; `T` a nanos or an optional one.
struct seconds {
    enum { any, at_least_0, above_0 } bound = any;

    template <class T>
    bool operator()(const std::string& text, T& out, std::string& error) const {
        nanos v = 0;
        const bool ok = parse_seconds(text, v) && (bound == any || v > 0 || (bound == at_least_0 && v == 0));
        if (!ok) {
            const char* want[] = {"a number of seconds", "seconds >= 0", "a number above 0"};
            error = "'" + text + "' is not " + want[bound];
            return false;
        }
        out = v;
        return true;
    }
};

// The word of `words` fewest edits away from `word` (the first of equals).
std::string nearest_word(const std::string& word, const std::vector<std::string>& words);
// True when `word` is one of `names`; else false after a message naming the
// nearest.
bool is_subcommand(const std::string& word, const std::vector<std::string>& names);

}  // namespace logtool

#endif
