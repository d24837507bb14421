#include "c/wire.h"

namespace velt::wire {

void frame_decoder::append(const char* data, size_t len) {
    if (m_failed) return;
    // Drop consumed frames before growing, so the buffer holds at most one
    // partial frame plus what the last read brought.
    if (m_pos > 0 && (m_pos == m_buf.size() || m_pos >= m_buf.size() / 2)) {
        m_buf.erase(0, m_pos);
        m_pos = 0;
    }
    m_buf.append(data, len);
}

static uint32_t load_u32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

frame_decoder::result frame_decoder::next(std::string_view& payload) {
    if (m_failed) return result::error;
    size_t have = m_buf.size() - m_pos;
    if (have < frame_header) return result::need_more;
    uint32_t len = load_u32(m_buf.data() + m_pos);
    if (len == 0 || len > m_limit) {
        m_failed = true;
        return result::error;
    }
    if (have - frame_header < len) return result::need_more;
    payload = std::string_view(m_buf.data() + m_pos + frame_header, len);
    m_pos += frame_header + len;
    return result::frame;
}

uint8_t reader::u8() {
    if (!m_ok || remaining() < 1) return m_ok = false, 0;
    return uint8_t(m_data[m_pos++]);
}

uint16_t reader::u16() {
    if (!m_ok || remaining() < 2) return m_ok = false, 0;
    const auto* b = reinterpret_cast<const unsigned char*>(m_data.data() + m_pos);
    m_pos += 2;
    return uint16_t(b[0] | b[1] << 8);
}

uint32_t reader::u32() {
    if (!m_ok || remaining() < 4) return m_ok = false, 0;
    uint32_t v = load_u32(m_data.data() + m_pos);
    m_pos += 4;
    return v;
}

uint64_t reader::u64() {
    uint64_t lo = u32();
    uint64_t hi = u32();
    return m_ok ? lo | hi << 32 : 0;
}

std::string_view reader::bytes(size_t n) {
    if (!m_ok || remaining() < n) return m_ok = false, std::string_view();
    std::string_view v = m_data.substr(m_pos, n);
    m_pos += n;
    return v;
}

std::string_view reader::str() {
    uint32_t n = u32();
    return bytes(n);
}

uint32_t reader::count(size_t min_item) {
    uint32_t n = u32();
    if (!m_ok) return 0;
    if (n > remaining() / (min_item > 0 ? min_item : 1)) return m_ok = false, 0;
    return n;
}

void writer::u16(uint16_t v) {
    char b[2] = {char(v & 0xff), char(v >> 8)};
    m_out.append(b, 2);
}

void writer::u32(uint32_t v) {
    char b[4] = {char(v & 0xff), char(v >> 8 & 0xff), char(v >> 16 & 0xff), char(v >> 24)};
    m_out.append(b, 4);
}

void writer::u64(uint64_t v) {
    u32(uint32_t(v));
    u32(uint32_t(v >> 32));
}

void writer::str(std::string_view s) {
    u32(uint32_t(s.size()));
    m_out.append(s);
}

size_t begin_frame(std::string& out, msg code) {
    size_t start = out.size();
    out.append(frame_header, '\0');
    out.push_back(char(code));
    return start;
}

void finish_frame(std::string& out, size_t start) {
    size_t len = out.size() - start - frame_header;
    auto v = uint32_t(len);
    char b[4] = {char(v & 0xff), char(v >> 8 & 0xff), char(v >> 16 & 0xff), char(v >> 24)};
    out.replace(start, frame_header, b, frame_header);
}

std::string hello_frame() {
    std::string f;
    size_t start = begin_frame(f, msg::hello);
    writer w(f);
    w.raw(std::string_view(hello_magic, sizeof hello_magic));
    w.u16(protocol_version);
    finish_frame(f, start);
    return f;
}

}  // namespace velt::wire
