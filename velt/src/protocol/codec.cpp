#include "protocol/codec.h"

#include <bit>

#include "c/types.h"

namespace velt::codec {

void encode_value(wire::writer& w, const toolkit::CElement& v) {
    w.u8(uint8_t(v.type()));
    w.i64(int64_t(v.timestamp().tv_sec));
    w.i64(int64_t(v.timestamp().tv_usec));
    switch (v.type()) {
        case DATATYPE_BOOL: w.u8(v.get_bool() ? 1 : 0); break;
        case DATATYPE_INT32: w.i32(v.get_int32()); break;
        case DATATYPE_UINT32: w.u32(v.get_uint32()); break;
        case DATATYPE_INT64: w.i64(v.get_int64()); break;
        case DATATYPE_UINT64: w.u64(v.get_uint64()); break;
        case DATATYPE_DOUBLE: w.u64(std::bit_cast<uint64_t>(v.get_double())); break;
        case DATATYPE_IPV4:
        case DATATYPE_IPV6:
        case DATATYPE_MAC: w.raw(v.get_bytes()); break;
        case DATATYPE_STRING:
        case DATATYPE_BINARY: w.str(v.get_bytes()); break;
        default: break;
    }
}

size_t encoded_size(const toolkit::CElement& v) {
    switch (v.type()) {
        case DATATYPE_BOOL: return min_value + 1;
        case DATATYPE_INT32:
        case DATATYPE_UINT32: return min_value + 4;
        case DATATYPE_INT64:
        case DATATYPE_UINT64:
        case DATATYPE_DOUBLE: return min_value + 8;
        case DATATYPE_STRING:
        case DATATYPE_BINARY: return min_value + 4 + v.get_bytes().size();
        case DATATYPE_IPV4:
        case DATATYPE_IPV6:
        case DATATYPE_MAC: return min_value + v.get_bytes().size();
        default: return min_value;
    }
}

bool decode_value(wire::reader& r, toolkit::CElement& v) {
    uint8_t type = r.u8();
    timeval tv;
    tv.tv_sec = time_t(r.i64());
    tv.tv_usec = suseconds_t(r.i64());
    if (!r.ok()) return false;
    switch (type) {
        case DATATYPE_INVALID: v.clear(); break;
        case DATATYPE_NONE: v.set_none(); break;
        case DATATYPE_BOOL: {
            uint8_t b = r.u8();
            if (b > 1) return false;
            v.set_bool(b != 0);
            break;
        }
        case DATATYPE_INT32: v.set_int32(r.i32()); break;
        case DATATYPE_UINT32: v.set_uint32(r.u32()); break;
        case DATATYPE_INT64: v.set_int64(r.i64()); break;
        case DATATYPE_UINT64: v.set_uint64(r.u64()); break;
        case DATATYPE_DOUBLE: v.set_double(std::bit_cast<double>(r.u64())); break;
        case DATATYPE_IPV4:
        case DATATYPE_IPV6:
        case DATATYPE_MAC: {
            auto t = data_type_t(type);
            std::string_view b = r.bytes(velt::fixed_byte_size(t));
            if (!r.ok() || v.set_bytes(t, b) != 0) return false;
            break;
        }
        case DATATYPE_STRING:
        case DATATYPE_BINARY: {
            std::string_view b = r.str();
            if (!r.ok() || v.set_bytes(data_type_t(type), b) != 0) return false;
            break;
        }
        default: return false;
    }
    v.timestamp() = tv;
    return r.ok();
}

void encode_event(wire::writer& w, api_cmd_t cmd, std::string_view path, const toolkit::CElement& value) {
    w.u8(uint8_t(cmd));
    w.str(path);
    encode_value(w, value);
}

bool decode_event(wire::reader& r, toolkit::CEvent& e) {
    uint8_t cmd = r.u8();
    std::string_view path = r.str();
    if (!r.ok()) return false;
    if (cmd != CMD_ADD_NODE && cmd != CMD_REMOVE_NODE && cmd != CMD_SET_LEAF && cmd != CMD_CLEAR_LEAF)
        return false;
    e.type = EVENT_CHANGE;
    e.cmd = api_cmd_t(cmd);
    e.path.assign(path);
    return decode_value(r, e.value);
}

}  // namespace velt::codec
