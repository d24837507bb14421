#include "option_values.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include <velt_commands.h>

#include "commands.h"
#include "ctl/format.h"
#include "daemon/checks.h"

namespace logtool {

bool time_value(const std::string& text, std::optional<time_arg>& out, std::string& error) {
    time_arg t;
    if (!parse_time_arg(text, t, error)) return false;
    out = t;
    return true;
}

bool iso_value(const std::string& text, std::optional<nanos>& out, std::string& error) {
    time_arg t;
    if (!parse_time_arg(text, t, error) || !t.absolute || t.value < 0) {
        error = "'" + text + "' is not an ISO 8601 UTC time (2026-12-06T19:04:13.5Z)";
        return false;
    }
    out = t.value;
    return true;
}

bool range_value(const std::string& text, std::optional<batch_range>& out, std::string& error) {
    batch_range r;
    if (!parse_batch_range(text, r, error)) return false;
    out = r;
    return true;
}

bool action_value(const std::string& text, std::vector<api_cmd_t>& out, std::string& error) {
    const api_cmd_t cmd = velt::command_code(text);
    if (cmd == 0) {
        error =
            "'" + text + "' is not an action (CMD_ADD_NODE, CMD_REMOVE_NODE, CMD_SET_LEAF, CMD_CLEAR_LEAF)";
        return false;
    }
    out.push_back(cmd);
    return true;
}

bool format_value(const std::string& text, export_format& out, std::string& error) {
    if (text != "jsonl" && text != "csv") {
        error = "'" + text + "' is not a format (jsonl, csv)";
        return false;
    }
    out = text == "csv" ? export_format::csv : export_format::jsonl;
    return true;
}

bool count_value(const std::string& text, long long& out, std::string& error) {
    long long n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n <= 0) {
        error = "'" + text + "' is not a whole number above 0";
        return false;
    }
    out = n;
    return true;
}

bool store_path_value(const std::string& text, std::vector<std::string>& out, std::string& error) {
    std::string path;
    if (!veltd::canonical_path(text, path)) {
        error = "'" + velt::ctl::escaped(text) + "' is not a valid path";
        return false;
    }
    out.push_back(std::move(path));
    return true;
}

namespace {

// The edit (Levenshtein) distance between two words.
std::size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string nearest_word(const std::string& word, const std::vector<std::string>& words) {
    std::string nearest;
    std::size_t best = 0;
    for (const std::string& w : words) {
        const std::size_t d = distance(word, w);
        if (nearest.empty() || d < best) {
            best = d;
            nearest = w;
        }
    }
    return nearest;
}

bool is_subcommand(const std::string& word, const std::vector<std::string>& names) {
    const std::string nearest = nearest_word(word, names);
    if (nearest == word) return true;
    std::fprintf(
        stderr, "rorezuredi-log: '%s' is not a subcommand; the nearest is '%s' (see rorezuredi-log --help)\n",
        word.c_str(), nearest.c_str());
    return false;
}

}  // namespace logtool
