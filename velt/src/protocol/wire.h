// The store's byte-level wire format: little-endian integers, frames and
// bounded readers.
//
// A frame is a 4-byte little-endian payload length followed by the payload.
// Numbers are little endian; a string is a u32 length and its bytes. Every
// length and count read is checked against the bytes that remain before
// anything is allocated.
#ifndef VELT_PROTOCOL_WIRE_H
#define VELT_PROTOCOL_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/messages.h"

namespace velt::wire {

inline constexpr size_t frame_header = 4;

// Little-endian integers at `p`: the one coding of every number on the wire.
inline void put_u16(char* p, uint16_t v) {
    p[0] = char(v & 0xff);
    p[1] = char(v >> 8);
}
inline void put_u32(char* p, uint32_t v) {
    put_u16(p, uint16_t(v));
    put_u16(p + 2, uint16_t(v >> 16));
}
inline void put_u64(char* p, uint64_t v) {
    put_u32(p, uint32_t(v));
    put_u32(p + 4, uint32_t(v >> 32));
}
inline uint16_t get_u16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint16_t(b[0] | b[1] << 8);
}
inline uint32_t get_u32(const char* p) {
    return uint32_t(get_u16(p)) | uint32_t(get_u16(p + 2)) << 16;
}
inline uint64_t get_u64(const char* p) {
    return uint64_t(get_u32(p)) | uint64_t(get_u32(p + 4)) << 32;
}

// Overwrites the u32 at `offset` of `out` (a count or length written as a
// placeholder before it was known).
inline void patch_u32(std::string& out, size_t offset, uint32_t v) {
    put_u32(out.data() + offset, v);
}

// Accumulates bytes from a stream and cuts them into frames. Feed it any
// bytes; it yields whole payloads, or fails for good on an empty or
// oversized frame.
class frame_decoder {
public:
    explicit frame_decoder(size_t limit = max_payload) : m_limit(limit) {}

    void append(const char* data, size_t len);
    // Room for `len` more bytes, to be read into directly; commit() then
    // adds the `n` bytes that arrived.
    char* space(size_t len);
    void commit(size_t n) { m_end += n; }

    enum class result { need_more, frame, error };
    // On `frame`, `payload` views the next payload; it stays valid until the
    // next call to any member.
    result next(std::string_view& payload);

    // Bytes held and not yet yielded as frames.
    size_t buffered() const { return m_end - m_pos; }
    // Bytes still missing before the next frame (or its header) is whole.
    size_t wanted() const;
    bool failed() const { return m_failed; }

private:
    void compact();

    std::vector<char> m_buf;  // holds bytes up to m_end; grows, never shrinks
    size_t m_pos = 0;
    size_t m_end = 0;
    size_t m_limit;
    bool m_failed = false;
};

// Reads fields from a payload; any read past the end clears ok() and yields
// zeroes, so a caller checks ok() once at the end.
class reader {
public:
    explicit reader(std::string_view data) : m_data(data) {}

    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    int32_t i32() { return int32_t(u32()); }
    int64_t i64() { return int64_t(u64()); }
    std::string_view str();
    std::string_view bytes(size_t n);
    // A count of items that each take at least `min_item` (>= 1) bytes;
    // fails when the remaining bytes cannot hold that many.
    uint32_t count(size_t min_item);

    bool ok() const { return m_ok; }
    bool at_end() const { return m_ok && m_pos == m_data.size(); }
    size_t remaining() const { return m_data.size() - m_pos; }
    void fail() { m_ok = false; }

private:
    const char* take(size_t n);

    std::string_view m_data;
    size_t m_pos = 0;
    bool m_ok = true;
};

// Appends fields to a string.
class writer {
public:
    explicit writer(std::string& out) : m_out(out) {}

    void u8(uint8_t v) { m_out.push_back(char(v)); }
    void u16(uint16_t v) { put_u16(grow(2), v); }
    void u32(uint32_t v) { put_u32(grow(4), v); }
    void u64(uint64_t v) { put_u64(grow(8), v); }
    void i32(int32_t v) { u32(uint32_t(v)); }
    void i64(int64_t v) { u64(uint64_t(v)); }
    void str(std::string_view s);
    void raw(std::string_view s) { m_out.append(s); }
    std::string& out() { return m_out; }

private:
    char* grow(size_t n) {
        m_out.resize(m_out.size() + n);
        return m_out.data() + m_out.size() - n;
    }

    std::string& m_out;
};

// Starts a frame in `out`: a length placeholder and the message code.
// finish_frame fills in the length. Returns the frame's offset.
size_t begin_frame(std::string& out, msg code);
void finish_frame(std::string& out, size_t start);

// The start of an answer: a frame holding the request's code and the result
// code (the length is filled in when the answer is queued).
std::string response(msg code, int32_t result);

// A client's hello frame: the magic and this protocol version.
std::string hello_frame();

}  // namespace velt::wire

#endif
