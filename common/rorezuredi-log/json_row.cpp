#include "json_row.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

namespace logtool {

namespace {

// A cursor over a line for the fast reader: it gives up (false) on anything
// it does not take, rather than judging it.
class flat_reader {
public:
    explicit flat_reader(std::string_view text) : m_text(text) {}

    bool object(json_row& row) {
        std::string key;
        skip_space();
        if (!take('{')) return false;
        skip_space();
        if (take('}')) return at_end();
        do {
            skip_space();
            if (!string(key)) return false;
            skip_space();
            if (!take(':')) return false;
            skip_space();
            json_field scratch;
            json_field& f = field_of(key, row, scratch);
            if (!value(f)) return false;
            skip_space();
        } while (take(','));
        return take('}') && at_end();
    }

private:
    static json_field& field_of(std::string_view key, json_row& row, json_field& scratch) {
        for (std::size_t i = 0; i < row_field_names.size(); ++i)
            if (key == row_field_names[i]) return row.fields[i];
        return scratch;
    }

    bool value(json_field& f) {
        f.text.clear();
        if (peek() == '"') {
            f.kind = json_field::string;
            return string(f.text);
        }
        for (const auto& [word, kind] : {std::pair{std::string_view("null"), json_field::null},
                                         std::pair{std::string_view("true"), json_field::boolean},
                                         std::pair{std::string_view("false"), json_field::boolean}})
            if (peek() == word[0] && m_text.substr(m_at, word.size()) == word) {
                m_at += word.size();
                f.kind = kind;
                if (kind == json_field::boolean) f.text.assign(word);
                return true;
            }
        // A number without an exponent: -?(0|[1-9][0-9]*)(.[0-9]+)?
        const std::size_t begin = m_at;
        take('-');
        if (peek() == '0' && m_at + 1 < m_text.size() &&
            std::isdigit(static_cast<unsigned char>(m_text[m_at + 1])) != 0)
            return false;
        if (!digits()) return false;
        if (take('.') && !digits()) return false;
        f.kind = json_field::number;
        f.text.assign(m_text.substr(begin, m_at - begin));
        return true;
    }

    bool digits() {
        const std::size_t begin = m_at;
        while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') ++m_at;
        return m_at > begin;
    }

    // A string of plain UTF-8 and the escapes export writes; \u only below 0x80.
    bool string(std::string& out) {
        out.clear();
        if (!take('"')) return false;
        while (m_at < m_text.size()) {
            // A run of bytes that stand for themselves, in one append.
            const std::size_t run = m_at;
            while (m_at < m_text.size() && plain(m_text[m_at])) ++m_at;
            out.append(m_text.substr(run, m_at - run));
            if (m_at >= m_text.size()) break;
            const char c = m_text[m_at++];
            const auto b = static_cast<unsigned char>(c);
            if (c == '"') return true;
            if (b < 0x20 || b >= 0x80) {
                if (b < 0x20 || !utf8(out)) return false;
                continue;
            }
            if (m_at >= m_text.size()) return false;
            switch (m_text[m_at++]) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    unsigned v = 0;
                    for (int i = 0; i < 4; ++i, ++m_at) {
                        if (m_at >= m_text.size() ||
                            std::isxdigit(static_cast<unsigned char>(m_text[m_at])) == 0)
                            return false;
                        const char h = m_text[m_at];
                        v = v * 16 + static_cast<unsigned>(h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
                    }
                    if (v >= 0x80) return false;
                    out.push_back(static_cast<char>(v));
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    // A multi-byte UTF-8 sequence whose lead byte was taken.
    bool utf8(std::string& out) {
        const std::size_t begin = m_at - 1, len = utf8_length(m_text, begin);
        if (len == 0) return false;
        out.append(m_text.substr(begin, len));
        m_at = begin + len;
        return true;
    }

    static bool plain(char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 0x20 && b < 0x80 && c != '"' && c != '\\';
    }

    char peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }
    bool take(char c) {
        if (peek() != c || m_at >= m_text.size()) return false;
        ++m_at;
        return true;
    }
    void skip_space() {
        while (m_at < m_text.size() &&
               (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\r' || m_text[m_at] == '\n'))
            ++m_at;
    }
    bool at_end() {
        skip_space();
        return m_at == m_text.size();
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

json_field from_json(const nlohmann::json& v) {
    json_field f;
    if (v.is_null()) {
        f.kind = json_field::null;
    } else if (v.is_string()) {
        f.kind = json_field::string;
        f.text = v.get<std::string>();
    } else if (v.is_number()) {
        f.kind = json_field::number;
        f.text = v.dump();
    } else if (v.is_boolean()) {
        f.kind = json_field::boolean;
        f.text = v.dump();
    } else {
        f.kind = json_field::other;
    }
    return f;
}

}  // namespace

std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) return 1;
    std::size_t len = 0;
    std::uint32_t cp = 0, min = 0;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        cp = c & 0x1fU;
        min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        cp = c & 0x0fU;
        min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        cp = c & 0x07U;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        const auto k = static_cast<unsigned char>(text[at + i]);
        if ((k & 0xc0U) != 0x80) return 0;
        cp = (cp << 6) | (k & 0x3fU);
    }
    return cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) ? 0 : len;
}

bool read_json_row(std::string_view line, json_row& row, std::string& error) {
    // Kinds only: the texts keep their storage from line to line.
    const auto clear = [&row] {
        for (json_field& f : row.fields) f.kind = json_field::absent;
    };
    clear();
    if (flat_reader(line).object(row)) return true;
    clear();
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(line);
    } catch (const nlohmann::json::parse_error& e) {
        error = std::string("is not JSON: ") + e.what();
        return false;
    }
    if (!j.is_object()) {
        error = "is not a JSON object";
        return false;
    }
    for (std::size_t i = 0; i < row_field_names.size(); ++i)
        if (const auto it = j.find(row_field_names[i]); it != j.end()) row.fields[i] = from_json(*it);
    return true;
}

}  // namespace logtool
