#include "ctl/format.h"

#include <velt_commands.h>

#include <charconv>

namespace velt::ctl {

void append_escaped(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out.append("\\\\"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            default:
                if (b < 0x20 || b == 0x7f) {
                    out.append("\\x");
                    out.push_back(hex[b >> 4]);
                    out.push_back(hex[b & 0x0f]);
                } else {
                    out.push_back(c);
                }
        }
    }
}

std::string escaped(std::string_view text) {
    std::string out;
    append_escaped(out, text);
    return out;
}

void append_time(std::string& out, const timeval& time) {
    char num[24];
    out.append(" @");
    out.append(num, std::to_chars(num, num + sizeof num, static_cast<long long>(time.tv_sec)).ptr);
    out.push_back('.');
    // Six digits, zero-padded; a value outside 0..999999 is printed as it is.
    const long usec = time.tv_usec;
    if (usec >= 0 && usec < 1000000) {
        long div = 100000;
        for (int i = 0; i < 6; ++i, div /= 10) out.push_back(static_cast<char>('0' + (usec / div) % 10));
    } else {
        out.append(num, std::to_chars(num, num + sizeof num, usec).ptr);
    }
}

void append_typed_value(std::string& out, const toolkit::CElement& value) {
    const char* name = vlt_enum_to_str(value.type());
    out.append(name != nullptr ? name : toolkit::CElement::_invalid.c_str());
    out.push_back(' ');
    if (value.type() == DATATYPE_STRING) {
        append_escaped(out, value.get_bytes());
    } else {
        append_escaped(out, value.to_string());
    }
}

void append_dump_line(std::string& out, bool leaf, std::string_view path, const toolkit::CElement& value,
                      bool times) {
    out.append(leaf ? "leaf " : "node ");
    append_escaped(out, path);
    if (!leaf) return;
    out.push_back(' ');
    append_typed_value(out, value);
    if (times) append_time(out, value.timestamp());
}

std::string cmd_name(api_cmd_t cmd) {
    if (const char* name = velt::command_name(cmd)) return name;
    return "CMD_" + std::to_string(static_cast<int>(cmd));
}

std::string describe_code(int code) {
    const char* what = nullptr;
    switch (code) {
        case VLT_EINVAL: what = "invalid argument"; break;
        case VLT_ECONFLICT: what = "conflict"; break;
        case VLT_ENOENT: what = "no such path"; break;
        case VLT_ELOST: what = "connection lost"; break;
        default: what = "error"; break;
    }
    return std::string(what) + " (code " + std::to_string(code) + ")";
}

}  // namespace velt::ctl
