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

// The request runs past the end of the input; at its very end that is an error.
split_result open_at_end(bool final, const char* what) {
    split_result r;
    if (final) r.error = what;
    return r;
}

}  // namespace

split_result split_words(std::string_view input, bool final, std::vector<std::string>& words) {
    words.clear();
    bool in_word = false;
    std::size_t i = 0;
    const std::size_t n = input.size();
    while (i < n) {
        const char c = input[i];
        if (c == '\n') return {true, nullptr, i + 1};
        if (c == ' ' || c == '\t') {
            in_word = false;
            ++i;
            continue;
        }
        if (c == '#' && !in_word) {
            // A comment: the line feed that ends it still ends the request.
            const std::size_t end = input.find('\n', i);
            if (end == std::string_view::npos) break;
            i = end;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= n) return open_at_end(final, "backslash at the end of the input");
            if (input[i + 1] == '\n') {
                i += 2;  // joins the lines; starts no word
                continue;
            }
        }
        if (!in_word) {
            words.emplace_back();
            in_word = true;
        }
        std::string& w = words.back();
        if (c == '\\') {
            w.push_back(input[i + 1]);
            i += 2;
        } else if (c == '\'') {
            const std::size_t close = input.find('\'', i + 1);
            if (close == std::string_view::npos) return open_at_end(final, "unterminated single quote");
            w.append(input.substr(i + 1, close - i - 1));
            i = close + 1;
        } else if (c == '"') {
            ++i;
            for (;;) {
                if (i >= n) return open_at_end(final, "unterminated double quote");
                const char d = input[i];
                if (d == '"') {
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 >= n) return open_at_end(final, "unterminated double quote");
                if (d == '\\' && escapable_in_double_quotes(input[i + 1])) {
                    // A quoted backslash-newline joins lines: both go.
                    if (input[i + 1] != '\n') w.push_back(input[i + 1]);
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
    // The end of the input without a line feed ends the request only when
    // nothing follows.
    split_result r;
    r.complete = final;
    r.used = n;
    return r;
}

}  // namespace velt::ctl
