// libvelt++: the C++ interface (namespace toolkit) of the Velt store client.
#ifndef VELTPP_H
#define VELTPP_H

#include <sys/time.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velt.h"

typedef std::string tk_string;

namespace toolkit {

// A leaf value: type code, timestamp and payload.
//
// The payload is kept compactly (32 bytes in all; numbers, addresses and
// short texts inline, longer data in one exactly-sized heap block), since a
// replayed log holds one value per event in memory.
class CElement {
public:
    static const tk_string _invalid;     // name written for a type without one: "invalid"
    static const timeval _invalid_time;  // {-1, 0}: "no timestamp"
    static bool _forced_auto_time;       // when set, the store stamps written leaves itself

    CElement() noexcept;  // DATATYPE_INVALID, timestamp _invalid_time
    CElement(const CElement& other);
    CElement(CElement&& other) noexcept;
    // Copy/move, then replace the timestamp with `time` unless time.tv_sec is -1.
    CElement(const CElement& other, const timeval& time);
    CElement(CElement&& other, const timeval& time) noexcept;
    CElement& operator=(const CElement& other);
    CElement& operator=(CElement&& other) noexcept;
    ~CElement();

    data_type_t type() const noexcept { return static_cast<data_type_t>(m_type); }
    timeval& timestamp() noexcept { return m_time; }
    const timeval& timestamp() const noexcept { return m_time; }

    // Setters replace type and payload and keep the timestamp.
    void clear() noexcept;  // back to DATATYPE_INVALID
    void set_none() noexcept;
    void set_bool(bool v) noexcept;
    void set_int32(int32_t v) noexcept;
    void set_uint32(uint32_t v) noexcept;
    void set_int64(int64_t v) noexcept;
    void set_uint64(uint64_t v) noexcept;
    void set_double(double v) noexcept;
    void set_string(std::string_view text);  // type 6, text not checked
    // Byte payloads: STRING and BINARY take any length, IPV4 exactly 4 bytes,
    // IPV6 16 and MAC 6 (network order). Returns nonzero (and changes nothing)
    // for another type or a wrong length.
    int set_bytes(data_type_t type, std::string_view bytes);

    // Getters; each is meaningful only for its own type (0 / empty otherwise).
    bool get_bool() const noexcept;
    int32_t get_int32() const noexcept;
    uint32_t get_uint32() const noexcept;
    int64_t get_int64() const noexcept;
    uint64_t get_uint64() const noexcept;
    double get_double() const noexcept;
    std::string_view get_bytes() const noexcept;  // STRING, BINARY, IPV4, IPV6, MAC

    // Same type and same payload (doubles compared bit for bit); timestamps ignored.
    bool same_value(const CElement& other) const noexcept;
    // Same type, payload and timestamp.
    bool operator==(const CElement& other) const noexcept;

    // Converts the value in place to `target`, through its text form.
    // Strict: the text must be exactly what to_string writes for that type
    // (no white space, no trailing bytes, in range, right case).
    // Returns 0 on success; nonzero, leaving the value unchanged, on failure.
    int convert_type(data_type_t target);

    // Text form of the value (empty for INVALID and NONE); `out` is replaced.
    void to_string(tk_string& out) const;
    tk_string to_string() const;

    // Canonical path form, in place (see vlt_canonicalize_path).
    static void canonicalize_path(tk_string& path);

    // Escapes text in place for an XML attribute value or element content:
    // & < > " ' as the five predefined entities, tab, line feed and carriage
    // return as &#9; &#10; &#13;.
    static void xml_escape(tk_string& text);

    // True when `text` is a string value the store accepts: valid UTF-8, no
    // control characters but tab, line feed and carriage return, no U+FFFE/U+FFFF.
    static bool valid_string(std::string_view text) noexcept;

private:
    // Numbers lie in the first 8 bytes of m_payload; byte payloads (STRING,
    // BINARY, IPV4, MAC) of up to 14 bytes lie in m_payload itself, longer
    // ones (and IPV6) in one exactly-sized heap block whose pointer and
    // 32-bit length m_payload then holds.
    static constexpr unsigned char k_heap = 0xff;  // m_length of a heap payload

    void release() noexcept;
    bool on_heap() const noexcept { return m_length == k_heap; }
    uint64_t word() const noexcept;
    void set_word(data_type_t type, uint64_t v) noexcept;
    void take_payload(data_type_t type, std::string_view bytes);

    timeval m_time;
    unsigned char m_payload[14];
    unsigned char m_type;    // data_type_t
    unsigned char m_length;  // length of an inline byte payload, or k_heap
};

// One change notification.
class CEvent {
public:
    api_event_t type = EVENT_CHANGE;
    tk_string path;
    api_cmd_t cmd = CMD_ADD_NODE;
    CElement value;
};

// The connection to the store.
class CVelt {
public:
    vlt_handle_t handle = 0;  // 0: no connection
    bool subscribed = false;  // set once event_register has succeeded

    CVelt() = default;
    CVelt(const CVelt&) = delete;
    CVelt& operator=(const CVelt&) = delete;
    ~CVelt();  // closes a handle that is still open

    bool is_initialized() const noexcept { return handle != 0; }

    // Subscribes to changes at or under `path`. Returns 0 and sets status to 1
    // on success; otherwise a nonzero code, with status 0.
    int event_register(const tk_string& path, api_event_t kind, bool flag, api_status_t& status);

    // Takes one whole pending batch into `events` (replacing its contents).
    // Returns the number of events (at least 1), or a negative value on failure.
    // Blocks until a batch arrives when none is pending.
    int events_get(std::vector<CEvent>& events);

    // Requests. Each is all or nothing; returns 0 on success, else a code
    // (1 invalid argument, 2 conflict, -1 connection lost, or a failpoint's code).
    // `statuses` is resized to one entry per path; `extra` is accepted and ignored.
    int add_nodes(const std::vector<tk_string>& paths, std::vector<api_status_t>& statuses,
                  const tk_string& extra);
    int remove_nodes(const std::vector<tk_string>& paths, std::vector<api_status_t>& statuses,
                     const tk_string& extra);
    int set_leaves(const std::vector<tk_string>& paths, const std::vector<CElement>& values,
                   const std::vector<vlt_tribool_t>& flags, std::vector<api_status_t>& statuses,
                   const tk_string& extra);
    int clear_leaves(const std::vector<tk_string>& paths, std::vector<api_status_t>& statuses,
                     const tk_string& extra);
};

}  // namespace toolkit

#endif
