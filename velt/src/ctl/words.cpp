#include "ctl/words.h"

namespace velt::ctl {

namespace {

bool escapable_in_double_quotes(char c) {
    switch (c) {
        case '"':
        case '\\':
        case '$':
        case '`':
        case '\n': return true;
        default: return false;
    }
}

}  // namespace

const char* split_words(std::string_view line, std::vector<std::string>& words) {
    words.clear();
    bool in_word = false;
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            in_word = false;
            ++i;
            continue;
        }
        if (c == '#' && !in_word && words.empty()) return nullptr;  // comment line
        if (!in_word) {
            words.emplace_back();
            in_word = true;
        }
        std::string& w = words.back();
        if (c == '\\') {
            if (i + 1 >= n) return "backslash at the end of the line";
            w.push_back(line[i + 1]);
            i += 2;
        } else if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) return "unterminated single quote";
            w.append(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else if (c == '"') {
            ++i;
            for (;;) {
                if (i >= n) return "unterminated double quote";
                const char d = line[i];
                if (d == '"') {
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < n && escapable_in_double_quotes(line[i + 1])) {
                    // A quoted backslash-newline joins lines: both go.
                    if (line[i + 1] != '\n') w.push_back(line[i + 1]);
                    i += 2;
                } else {
                    w.push_back(d);
                    ++i;
                }
            }
        } else {
            w.push_back(c);
            ++i;
        }
    }
    return nullptr;
}

}  // namespace velt::ctl
