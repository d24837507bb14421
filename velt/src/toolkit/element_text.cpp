// toolkit::CElement: text forms of values and conversions between types.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <velt++.h>

#include "c/types.h"

namespace toolkit {

namespace {

constexpr char k_hex[] = "0123456789abcdef";

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte written as two hex digits at text[at], or -1.
int hex_byte(std::string_view text, std::size_t at) noexcept {
    const int hi = hex_digit(text[at]), lo = hex_digit(text[at + 1]);
    return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
}

void append_hex_byte(tk_string& out, unsigned char b) {
    out.push_back(k_hex[b >> 4]);
    out.push_back(k_hex[b & 0x0f]);
}

template <typename T>
void append_number(tk_string& out, T v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_ipv4(tk_string& out, const unsigned char* b) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0) out.push_back('.');
        append_number(out, static_cast<unsigned>(b[i]));
    }
}

// RFC 5952: lower-case hex without leading zeros, the longest run of two or
// more zero groups (the first of equally long ones) as "::", and IPv4-mapped
// addresses in mixed notation.
void append_ipv6(tk_string& out, const unsigned char* b) {
    unsigned words[8];
    for (std::size_t i = 0; i < 8; ++i) words[i] = (unsigned{b[2 * i]} << 8) | b[2 * i + 1];

    const bool mapped = words[0] == 0 && words[1] == 0 && words[2] == 0 && words[3] == 0 && words[4] == 0 &&
                        words[5] == 0xffff;
    if (mapped) {
        out.append("::ffff:");
        append_ipv4(out, b + 12);
        return;
    }

    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (words[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && words[j] == 0) ++j;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }
    if (best_len < 2) best = -1;

    const std::size_t start = out.size();
    for (int i = 0; i < 8;) {
        if (i == best) {
            out.append("::");
            i += best_len;
            continue;
        }
        if (out.size() > start && out.back() != ':') out.push_back(':');
        char buf[8];
        const auto r = std::to_chars(buf, buf + sizeof buf, words[i], 16);
        out.append(buf, r.ptr);
        ++i;
    }
}

// Reads the whole of `text` as an integer of type T and stores it with `set`.
template <typename T>
bool set_integer(std::string_view text, CElement& out, void (CElement::*set)(T) noexcept) {
    T v = 0;
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    if (r.ec != std::errc{} || r.ptr != end) return false;
    (out.*set)(v);
    return true;
}

// Reads `text` as a value of `target` into `out`, loosely; the caller checks
// that the text is exactly the canonical form. Returns false when unreadable.
bool parse_loose(data_type_t target, std::string_view text, CElement& out) {
    switch (target) {
        case DATATYPE_BOOL:
            if (text == "true")
                out.set_bool(true);
            else if (text == "false")
                out.set_bool(false);
            else
                return false;
            return true;
        case DATATYPE_INT32: return set_integer<int32_t>(text, out, &CElement::set_int32);
        case DATATYPE_UINT32: return set_integer<uint32_t>(text, out, &CElement::set_uint32);
        case DATATYPE_INT64: return set_integer<int64_t>(text, out, &CElement::set_int64);
        case DATATYPE_UINT64: return set_integer<uint64_t>(text, out, &CElement::set_uint64);
        case DATATYPE_DOUBLE: {
            double v = 0;
            const char* end = text.data() + text.size();
            const auto r = std::from_chars(text.data(), end, v, std::chars_format::general);
            if (r.ec != std::errc{} || r.ptr != end) return false;
            out.set_double(v);
            return true;
        }
        case DATATYPE_IPV4:
        case DATATYPE_IPV6: {
            // inet_pton wants a terminated string; anything longer than the
            // longest address text cannot be one.
            char buf[INET6_ADDRSTRLEN + 1];
            if (text.size() >= sizeof buf) return false;
            std::memcpy(buf, text.data(), text.size());
            buf[text.size()] = '\0';
            unsigned char addr[16];
            const int family = target == DATATYPE_IPV4 ? AF_INET : AF_INET6;
            if (inet_pton(family, buf, addr) != 1) return false;
            out.set_bytes(target, {reinterpret_cast<const char*>(addr), velt::fixed_byte_size(target)});
            return true;
        }
        case DATATYPE_MAC: {
            if (text.size() != 17) return false;
            char mac[6];
            for (std::size_t i = 0; i < 6; ++i) {
                if (i > 0 && text[3 * i - 1] != ':') return false;
                const int b = hex_byte(text, 3 * i);
                if (b < 0) return false;
                mac[i] = static_cast<char>(b);
            }
            out.set_bytes(DATATYPE_MAC, {mac, 6});
            return true;
        }
        case DATATYPE_BINARY: {
            if (text.size() % 2 != 0) return false;
            std::string bytes(text.size() / 2, '\0');
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                const int b = hex_byte(text, 2 * i);
                if (b < 0) return false;
                bytes[i] = static_cast<char>(b);
            }
            out.set_bytes(DATATYPE_BINARY, bytes);
            return true;
        }
        default: return false;
    }
}

}  // namespace

// ---- text forms ----

void CElement::to_string(tk_string& out) const {
    out.clear();
    const auto* bytes = reinterpret_cast<const unsigned char*>(get_bytes().data());
    switch (type()) {
        case DATATYPE_BOOL: out.assign(word() != 0 ? "true" : "false"); break;
        case DATATYPE_INT32: append_number(out, get_int32()); break;
        case DATATYPE_UINT32: append_number(out, get_uint32()); break;
        case DATATYPE_INT64: append_number(out, get_int64()); break;
        case DATATYPE_UINT64: append_number(out, get_uint64()); break;
        case DATATYPE_STRING: out.assign(get_bytes()); break;
        case DATATYPE_DOUBLE: {
            const double d = get_double();
            if (std::isnan(d))
                out.assign("nan");
            else if (std::isinf(d))
                out.assign(d < 0 ? "-inf" : "inf");
            else
                append_number(out, d);  // shortest text that reads back the same
            break;
        }
        case DATATYPE_IPV4: append_ipv4(out, bytes); break;
        case DATATYPE_IPV6: append_ipv6(out, bytes); break;
        case DATATYPE_MAC:
            for (int i = 0; i < 6; ++i) {
                if (i > 0) out.push_back(':');
                append_hex_byte(out, bytes[i]);
            }
            break;
        case DATATYPE_BINARY: {
            const std::string_view data = get_bytes();
            out.resize(data.size() * 2);
            for (std::size_t i = 0; i < data.size(); ++i) {
                const auto b = static_cast<unsigned char>(data[i]);
                out[2 * i] = k_hex[b >> 4];
                out[2 * i + 1] = k_hex[b & 0x0f];
            }
            break;
        }
        default: break;  // INVALID and NONE have no text
    }
}

tk_string CElement::to_string() const {
    tk_string out;
    to_string(out);
    return out;
}

int CElement::convert_type(data_type_t target) {
    tk_string own_text;
    std::string_view text;
    if (m_type == DATATYPE_STRING) {
        text = get_bytes();
        // Text to text changes nothing once the text is known to be valid.
        if (target == DATATYPE_STRING) return valid_string(text) ? 0 : 1;
    } else {
        to_string(own_text);
        text = own_text;
    }

    CElement result;
    switch (target) {
        case DATATYPE_INVALID: return 1;
        case DATATYPE_NONE:
            if (!text.empty()) return 1;
            result.set_none();
            break;
        case DATATYPE_STRING:
            if (!valid_string(text)) return 1;
            result.set_string(text);
            break;
        default: {
            if (!parse_loose(target, text, result)) return 1;
            // Accept only the exact text this value would be written as. The
            // buffer is kept between calls: a log converts millions of values.
            thread_local tk_string canonical;
            result.to_string(canonical);
            if (canonical != text) return 1;
            break;
        }
    }
    result.m_time = m_time;
    *this = std::move(result);
    return 0;
}

}  // namespace toolkit
