// The store's wire protocol: framing, message codes and bounded readers.
//
// A frame is a 4-byte little-endian payload length followed by the payload.
// Every payload starts with a one-byte message code. Numbers are little
// endian; a string is a u32 length and its bytes. Every length and count read
// is checked against the bytes that remain before anything is allocated.
#ifndef VELT_WIRE_H
#define VELT_WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace velt::wire {

inline constexpr uint16_t protocol_version = 1;
inline constexpr char hello_magic[4] = {'V', 'E', 'L', 'T'};

// Largest request body (paths and values as encoded) a client may send.
inline constexpr size_t max_request = size_t(64) << 20;
// Largest frame payload: a request body plus room for its header fields.
inline constexpr size_t max_payload = max_request + 4096;
inline constexpr size_t frame_header = 4;

// Message codes. A response repeats the request's code, then an i32 result
// code (0 success), then the fields listed after "->".
enum class msg : uint8_t {
    hello = 1,           // magic, u16 version -> u16 version; the doorbell descriptor rides along
    ping = 2,            // ->
    add_nodes = 3,       // str extra, u32 n, n x str path -> u32 n, n x i32 status
    remove_nodes = 4,    // as add_nodes
    set_leaves = 5,      // str extra, u8 forced_auto_time, u32 n, n x (str path, value, u8 flag)
                         //   -> u32 n, n x i32 status
    clear_leaves = 6,    // as add_nodes
    event_register = 7,  // str path, u32 kind, u8 flag -> i32 status
    events_get = 8,      // -> u32 doorbell bytes to take, then on success u32 n, n x event
    get = 9,             // str path -> value (on success)
    dump = 10,           // str path, u8 resume, [str after] -> u8 more, u32 n, n x entry
    status = 11,         // -> u32 n, n x (str name, i64 value)
    failpoint_set = 12,  // str op, i32 code, i64 count (-1: always) ->
    failpoint_clear = 13,
};

// Accumulates bytes from a stream and cuts them into frames. Feed it any
// bytes; it yields whole payloads, or fails for good on an oversized frame.
class frame_decoder {
public:
    explicit frame_decoder(size_t limit = max_payload) : m_limit(limit) {}

    void append(const char* data, size_t len);

    enum class result { need_more, frame, error };
    // On `frame`, `payload` views the next payload; it stays valid until the
    // next call to any member.
    result next(std::string_view& payload);

    // Bytes held and not yet yielded as frames.
    size_t buffered() const { return m_buf.size() - m_pos; }
    bool failed() const { return m_failed; }

private:
    std::string m_buf;
    size_t m_pos = 0;
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
    std::string_view m_data;
    size_t m_pos = 0;
    bool m_ok = true;
};

// Appends fields to a string.
class writer {
public:
    explicit writer(std::string& out) : m_out(out) {}

    void u8(uint8_t v) { m_out.push_back(char(v)); }
    void u16(uint16_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void i32(int32_t v) { u32(uint32_t(v)); }
    void i64(int64_t v) { u64(uint64_t(v)); }
    void str(std::string_view s);
    void raw(std::string_view s) { m_out.append(s); }
    std::string& out() { return m_out; }

private:
    std::string& m_out;
};

// Starts a frame in `out`: a length placeholder and the message code.
// finish_frame fills in the length. Returns the frame's offset.
size_t begin_frame(std::string& out, msg code);
void finish_frame(std::string& out, size_t start);

// A client's hello frame: the magic and this protocol version.
std::string hello_frame();

}  // namespace velt::wire

#endif
