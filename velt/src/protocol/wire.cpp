#include "protocol/wire.h"

#include <cstring>

namespace velt::wire {

void frame_decoder::compact() {
    // Drop consumed frames before growing, so the buffer holds at most one
    // partial frame plus what the last read brought.
    if (m_pos > 0 && (m_pos == m_end || m_pos >= m_end / 2)) {
        std::memmove(m_buf.data(), m_buf.data() + m_pos, m_end - m_pos);
        m_end -= m_pos;
        m_pos = 0;
    }
}

char* frame_decoder::space(size_t len) {
    compact();
    if (m_buf.size() - m_end < len) m_buf.resize(m_end + len);
    return m_buf.data() + m_end;
}

void frame_decoder::append(const char* data, size_t len) {
    if (m_failed || len == 0) return;
    std::memcpy(space(len), data, len);
    commit(len);
}

frame_decoder::result frame_decoder::next(std::string_view& payload) {
    if (m_failed) return result::error;
    size_t have = m_end - m_pos;
    if (have < frame_header) return result::need_more;
    uint32_t len = get_u32(m_buf.data() + m_pos);
    if (len == 0 || len > m_limit) {
        m_failed = true;
        return result::error;
    }
    if (have - frame_header < len) return result::need_more;
    payload = std::string_view(m_buf.data() + m_pos + frame_header, len);
    m_pos += frame_header + len;
    return result::frame;
}

size_t frame_decoder::wanted() const {
    size_t have = m_end - m_pos;
    if (have < frame_header) return frame_header - have;
    size_t len = get_u32(m_buf.data() + m_pos);
    return have - frame_header < len ? len - (have - frame_header) : 0;
}

const char* reader::take(size_t n) {
    if (!m_ok || remaining() < n) {
        m_ok = false;
        return nullptr;
    }
    const char* p = m_data.data() + m_pos;
    m_pos += n;
    return p;
}

uint8_t reader::u8() {
    const char* p = take(1);
    return p ? uint8_t(*p) : 0;
}

uint16_t reader::u16() {
    const char* p = take(2);
    return p ? get_u16(p) : 0;
}

uint32_t reader::u32() {
    const char* p = take(4);
    return p ? get_u32(p) : 0;
}

uint64_t reader::u64() {
    const char* p = take(8);
    return p ? get_u64(p) : 0;
}

std::string_view reader::bytes(size_t n) {
    const char* p = take(n);
    return p ? std::string_view(p, n) : std::string_view();
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
    patch_u32(out, start, uint32_t(out.size() - start - frame_header));
}

std::string response(msg code, int32_t result) {
    std::string f;
    begin_frame(f, code);
    writer(f).i32(result);
    return f;
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
