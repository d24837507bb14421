// What the client libraries and veltd agree on beyond the bytes: where the
// socket is, the protocol version, the message codes, the size limits and
// the operations a failpoint can be set on.
#ifndef VELT_PROTOCOL_MESSAGES_H
#define VELT_PROTOCOL_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace velt::wire {

// The store's socket for this process: $VELT_SOCKET when set and not empty,
// else /tmp/velt.sock.
inline std::string socket_path() {
    const char* env = std::getenv("VELT_SOCKET");
    return env != nullptr && *env != '\0' ? env : "/tmp/velt.sock";
}

inline constexpr uint16_t protocol_version = 2;
inline constexpr char hello_magic[4] = {'V', 'E', 'L', 'T'};

// Largest request body (paths and values as encoded) a client may send.
inline constexpr size_t max_request = size_t(64) << 20;
// Largest frame payload the daemon accepts: a request body plus room for its
// header fields.
inline constexpr size_t max_payload = max_request + 4096;
// Largest answer or batch payload a client accepts (a batch of events can
// outgrow the request that caused it, by the ancestors it created).
inline constexpr size_t max_response = size_t(256) << 20;
// Largest hello answer a client accepts.
inline constexpr size_t max_hello_response = 64;

// Message codes. A response repeats the request's code, then an i32 result
// code (0 success), then the fields listed after "->".
enum class msg : uint8_t {
    hello = 1,           // magic, u16 version -> u16 version; the channel's descriptors ride along
    ping = 2,            // ->
    add_nodes = 3,       // str extra, u32 n, n x str path -> u32 n, n x i32 status
    remove_nodes = 4,    // as add_nodes
    set_leaves = 5,      // str extra, u8 forced_auto_time, u32 n, n x (str path, value, u8 flag)
                         //   -> u32 n, n x i32 status
    clear_leaves = 6,    // as add_nodes
    event_register = 7,  // str path, u32 kind, u8 flag -> i32 status
    events_get = 8,      // not a request (batches come on the channel); names its failpoint
    get = 9,             // str path -> value (on success)
    dump = 10,    // u8 skip_missing, u32 n, n x str path -> pages, each a response: u8 more, u32 n, n x entry
    status = 11,  // -> u32 n, n x (str name, i64 value)
    failpoint_set = 12,  // str op, i32 code, i64 count (-1: always) ->
    failpoint_clear = 13,
};

// What events_get returns on a connection that has not subscribed.
inline constexpr int32_t not_subscribed = -2;

// The operations a failpoint can be set on, by the name failpoint_set takes.
struct failpoint_op {
    msg code;
    std::string_view name;
};
inline constexpr failpoint_op failpoint_ops[] = {
    {msg::add_nodes, "add_nodes"},       {msg::remove_nodes, "remove_nodes"}, {msg::set_leaves, "set_leaves"},
    {msg::clear_leaves, "clear_leaves"}, {msg::event_register, "register"},   {msg::events_get, "events_get"},
};

// The failpoint name of a request ("" when none can be set on it).
constexpr std::string_view failpoint_name(msg code) {
    for (const auto& op : failpoint_ops)
        if (op.code == code) return op.name;
    return {};
}

constexpr bool is_failpoint_op(std::string_view name) {
    for (const auto& op : failpoint_ops)
        if (op.name == name) return true;
    return false;
}

}  // namespace velt::wire

#endif
