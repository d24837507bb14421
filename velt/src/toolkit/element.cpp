// toolkit::CElement: typed leaf values, their text forms and conversions.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <velt++.h>

#include "c/validate.h"

namespace toolkit {

const tk_string CElement::_invalid = "invalid";
const timeval CElement::_invalid_time = {-1, 0};
bool CElement::_forced_auto_time = false;

// A replayed log holds one value per event: keep the value compact.
static_assert(sizeof(CElement) == 32, "CElement layout grew");

namespace {

constexpr char k_hex[] = "0123456789abcdef";

bool byte_payload(data_type_t type) noexcept {
    return type == DATATYPE_STRING || type == DATATYPE_BINARY || type == DATATYPE_IPV4 ||
           type == DATATYPE_IPV6 || type == DATATYPE_MAC;
}

std::size_t fixed_byte_size(data_type_t type) noexcept {
    switch (type) {
        case DATATYPE_IPV4: return 4;
        case DATATYPE_IPV6: return 16;
        case DATATYPE_MAC: return 6;
        default: return 0;
    }
}

// Heap payloads: one block of exactly the payload's size, owned by the
// CElement that holds the pointer.
char* heap_copy(std::string_view bytes) {
    if (bytes.size() > UINT32_MAX) throw std::length_error("CElement payload too large");
    char* p = std::allocator<char>{}.allocate(bytes.size());
    std::memcpy(p, bytes.data(), bytes.size());
    return p;
}

// Where a heap payload's pointer and length lie in m_payload.
constexpr std::size_t k_heap_ptr = 0;
constexpr std::size_t k_heap_len = 8;

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
            out.set_bytes(target, {reinterpret_cast<const char*>(addr), fixed_byte_size(target)});
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

// ---- storage ----

uint64_t CElement::word() const noexcept {
    uint64_t v = 0;
    std::memcpy(&v, m_payload, sizeof v);
    return v;
}

void CElement::set_word(data_type_t type, uint64_t v) noexcept {
    release();
    m_type = static_cast<unsigned char>(type);
    std::memcpy(m_payload, &v, sizeof v);
}

// Replaces type and payload with a byte payload. `bytes` may lie in this
// value's own payload: it is copied before anything is released.
void CElement::take_payload(data_type_t type, std::string_view bytes) {
    if (bytes.size() <= sizeof m_payload) {
        unsigned char copy[sizeof m_payload];
        std::memcpy(copy, bytes.data(), bytes.size());
        release();
        std::memcpy(m_payload, copy, bytes.size());
        m_length = static_cast<unsigned char>(bytes.size());
    } else {
        char* heap = heap_copy(bytes);
        const auto size = static_cast<uint32_t>(bytes.size());
        release();
        std::memcpy(m_payload + k_heap_ptr, &heap, sizeof heap);
        std::memcpy(m_payload + k_heap_len, &size, sizeof size);
        m_length = k_heap;
    }
    m_type = static_cast<unsigned char>(type);
}

void CElement::release() noexcept {
    if (on_heap()) {
        const std::string_view bytes = get_bytes();
        std::allocator<char>{}.deallocate(const_cast<char*>(bytes.data()), bytes.size());
    }
    m_type = DATATYPE_INVALID;
    m_length = 0;
    std::memset(m_payload, 0, sizeof m_payload);
}

// ---- construction, copy, move ----

CElement::CElement() noexcept : m_time(_invalid_time), m_payload{}, m_type(DATATYPE_INVALID), m_length(0) {}

CElement::CElement(const CElement& other)
    : m_time(other.m_time), m_type(other.m_type), m_length(other.m_length) {
    std::memcpy(m_payload, other.m_payload, sizeof m_payload);
    if (on_heap()) {
        char* heap = heap_copy(other.get_bytes());
        std::memcpy(m_payload + k_heap_ptr, &heap, sizeof heap);
    }
}

CElement::CElement(CElement&& other) noexcept
    : m_time(other.m_time), m_type(other.m_type), m_length(other.m_length) {
    // The moved-from value becomes INVALID; its heap block is now ours.
    std::memcpy(m_payload, other.m_payload, sizeof m_payload);
    other.m_type = DATATYPE_INVALID;
    other.m_length = 0;
    std::memset(other.m_payload, 0, sizeof other.m_payload);
}

CElement::CElement(const CElement& other, const timeval& time) : CElement(other) {
    if (time.tv_sec != -1) m_time = time;
}

CElement::CElement(CElement&& other, const timeval& time) noexcept : CElement(std::move(other)) {
    if (time.tv_sec != -1) m_time = time;
}

CElement& CElement::operator=(const CElement& other) {
    if (this == &other) return *this;
    // Allocate first so that a failure leaves this value as it was.
    char* heap = other.on_heap() ? heap_copy(other.get_bytes()) : nullptr;
    release();
    m_time = other.m_time;
    m_type = other.m_type;
    m_length = other.m_length;
    std::memcpy(m_payload, other.m_payload, sizeof m_payload);
    if (heap != nullptr) std::memcpy(m_payload + k_heap_ptr, &heap, sizeof heap);
    return *this;
}

CElement& CElement::operator=(CElement&& other) noexcept {
    if (this == &other) return *this;
    release();
    m_time = other.m_time;
    m_type = other.m_type;
    m_length = other.m_length;
    std::memcpy(m_payload, other.m_payload, sizeof m_payload);
    other.m_type = DATATYPE_INVALID;
    other.m_length = 0;
    std::memset(other.m_payload, 0, sizeof other.m_payload);
    return *this;
}

CElement::~CElement() {
    release();
}

// ---- setters ----

void CElement::clear() noexcept {
    release();
}

void CElement::set_none() noexcept {
    release();
    m_type = DATATYPE_NONE;
}

void CElement::set_bool(bool v) noexcept {
    set_word(DATATYPE_BOOL, v ? 1 : 0);
}

void CElement::set_int32(int32_t v) noexcept {
    set_word(DATATYPE_INT32, static_cast<uint64_t>(static_cast<int64_t>(v)));
}

void CElement::set_uint32(uint32_t v) noexcept {
    set_word(DATATYPE_UINT32, v);
}

void CElement::set_int64(int64_t v) noexcept {
    set_word(DATATYPE_INT64, static_cast<uint64_t>(v));
}

void CElement::set_uint64(uint64_t v) noexcept {
    set_word(DATATYPE_UINT64, v);
}

void CElement::set_double(double v) noexcept {
    set_word(DATATYPE_DOUBLE, std::bit_cast<uint64_t>(v));
}

void CElement::set_string(std::string_view text) {
    take_payload(DATATYPE_STRING, text);
}

int CElement::set_bytes(data_type_t type, std::string_view bytes) {
    if (type == DATATYPE_STRING || type == DATATYPE_BINARY) {
        if (bytes.size() > UINT32_MAX) return 1;
    } else {
        const std::size_t n = fixed_byte_size(type);
        if (n == 0 || bytes.size() != n) return 1;
    }
    take_payload(type, bytes);
    return 0;
}

// ---- getters ----

bool CElement::get_bool() const noexcept {
    return m_type == DATATYPE_BOOL && word() != 0;
}

int32_t CElement::get_int32() const noexcept {
    return m_type == DATATYPE_INT32 ? static_cast<int32_t>(word()) : 0;
}

uint32_t CElement::get_uint32() const noexcept {
    return m_type == DATATYPE_UINT32 ? static_cast<uint32_t>(word()) : 0;
}

int64_t CElement::get_int64() const noexcept {
    return m_type == DATATYPE_INT64 ? static_cast<int64_t>(word()) : 0;
}

uint64_t CElement::get_uint64() const noexcept {
    return m_type == DATATYPE_UINT64 ? word() : 0;
}

double CElement::get_double() const noexcept {
    if (m_type != DATATYPE_DOUBLE) return 0.0;
    return std::bit_cast<double>(word());
}

std::string_view CElement::get_bytes() const noexcept {
    if (!byte_payload(type())) return {};
    if (!on_heap()) return {reinterpret_cast<const char*>(m_payload), m_length};
    const char* heap = nullptr;
    uint32_t size = 0;
    std::memcpy(&heap, m_payload + k_heap_ptr, sizeof heap);
    std::memcpy(&size, m_payload + k_heap_len, sizeof size);
    return {heap, size};
}

// ---- comparison ----

bool CElement::same_value(const CElement& other) const noexcept {
    if (m_type != other.m_type) return false;
    switch (type()) {
        case DATATYPE_INVALID:
        case DATATYPE_NONE: return true;
        case DATATYPE_BOOL:
        case DATATYPE_INT32:
        case DATATYPE_UINT32:
        case DATATYPE_INT64:
        case DATATYPE_UINT64:
        case DATATYPE_DOUBLE: return word() == other.word();  // doubles bit for bit
        default: return get_bytes() == other.get_bytes();
    }
}

bool CElement::operator==(const CElement& other) const noexcept {
    return same_value(other) && m_time.tv_sec == other.m_time.tv_sec &&
           m_time.tv_usec == other.m_time.tv_usec;
}

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

void CElement::canonicalize_path(tk_string& path) {
    const std::size_t len = path.size();
    path.resize(len + 1);
    path.resize(vlt_canonicalize_path(path.data(), len));
}

void CElement::xml_escape(tk_string& text) {
    // Bytes that need a reference; a table, since capture escapes every path
    // and value it writes and most of them need nothing.
    static constexpr auto needs_escape = [] {
        std::array<bool, 256> t{};
        for (const unsigned char c : std::string_view("&<>\"'\t\n\r")) t[c] = true;
        return t;
    }();
    std::size_t extra = 0;
    for (const char c : text) {
        if (!needs_escape[static_cast<unsigned char>(c)]) continue;
        switch (c) {
            case '&': extra += 4; break;   // &amp;
            case '<':                      // &lt;
            case '>':                      // &gt;
            case '\t': extra += 3; break;  // &#9;
            case '"':                      // &quot;
            case '\'': extra += 5; break;  // &apos;
            default: extra += 4; break;    // &#10; &#13;
        }
    }
    if (extra == 0) return;
    tk_string out;
    out.reserve(text.size() + extra);
    for (const char c : text) {
        switch (c) {
            case '&': out.append("&amp;"); break;
            case '<': out.append("&lt;"); break;
            case '>': out.append("&gt;"); break;
            case '"': out.append("&quot;"); break;
            case '\'': out.append("&apos;"); break;
            case '\t': out.append("&#9;"); break;
            case '\n': out.append("&#10;"); break;
            case '\r': out.append("&#13;"); break;
            default: out.push_back(c); break;
        }
    }
    text.swap(out);
}

bool CElement::valid_string(std::string_view text) noexcept {
    return velt::valid_utf8_text(text, true);
}

}  // namespace toolkit
