// The event log writer: one function per element, each writing the exact
// bytes of the format. Elements are assembled in a scratch string and
// written with one fwrite: formatted output costs a fifth of a log rewrite.
#include "log_format.h"

#include <cstring>
#include <string>

#include <velt_commands.h>

#include "rorezuredi.h"

const char log_declaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n";
const char log_root_tag[] = "dump";
const char log_start_tag[] = "start";
const char log_batch_tag[] = "batch";
const char log_event_tag[] = "event";
const char log_time_attr[] = "time";
const char log_action_attr[] = "action";
const char log_path_attr[] = "path";
const char log_type_attr[] = "type";

// The command names are the store's own (velt_commands.h): one table.
const char* action_name(api_cmd_t cmd) {
    return velt::command_name(cmd);
}

api_cmd_t action_code(const char* name) {
    return velt::command_code(name);
}

namespace {

// One program thread writes logs; the scratch strings keep their storage
// from element to element.
std::string& scratch() {
    static std::string line;
    line.clear();
    return line;
}

// printf's "%.<min_digits>ld": a sign when negative, then at least
// min_digits digits, zero-padded.
void append_number(std::string& out, long v, int min_digits = 1) {
    char digits[24];
    int n = 0;
    unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) out.push_back('-');
    if (n < min_digits) out.append(static_cast<size_t>(min_digits - n), '0');
    while (n > 0) out.push_back(digits[--n]);
}

// ` NAME="`
void append_attr(std::string& out, const char* name) {
    out.push_back(' ');
    out.append(name);
    out.append("=\"");
}

void put(FILE* log, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), log);
}

}  // namespace

void write_log_head(FILE* log) {
    std::string& line = scratch();
    line.append(log_declaration).append("<").append(log_root_tag).append(">\n");
    put(log, line);
}

void write_start(FILE* log, const timespec& start) {
    std::string& line = scratch();
    line.append("\t<").append(log_start_tag);
    append_attr(line, log_time_attr);
    append_number(line, static_cast<long>(start.tv_sec));
    line.push_back('.');
    append_number(line, static_cast<long>(start.tv_nsec));
    line.append("\"/>\n");
    put(log, line);
}

void write_batch_open(FILE* log, const timespec& time, const char* action) {
    std::string& line = scratch();
    line.append("\t<").append(log_batch_tag);
    append_attr(line, log_time_attr);
    append_number(line, static_cast<long>(time.tv_sec));
    line.push_back('.');
    append_number(line, static_cast<long>(time.tv_nsec), 9);
    line.push_back('"');
    append_attr(line, log_action_attr);
    line.append(action != nullptr ? action : "(null)").append("\">\n");
    put(log, line);
}

void write_event(FILE* log, api_cmd_t cmd, const tk_string& path, const toolkit::CElement& value) {
    static tk_string escaped_path;
    static tk_string value_text;
    escaped_path = path;
    toolkit::CElement::xml_escape(escaped_path);
    std::string& line = scratch();
    line.append("\t\t<").append(log_event_tag);
    append_attr(line, log_path_attr);
    // As text up to a NUL, like every C string the format has held.
    line.append(escaped_path, 0, escaped_path.find('\0')).push_back('"');
    append_attr(line, log_time_attr);
    append_event_time(line, value.timestamp());
    line.push_back('"');
    if (cmd == CMD_SET_LEAF) {
        const char* name = vlt_enum_to_str(value.type());
        value.to_string(value_text);
        toolkit::CElement::xml_escape(value_text);
        append_attr(line, log_type_attr);
        line.append(name != nullptr ? name : toolkit::CElement::_invalid.c_str()).append("\">");
        line.append(value_text, 0, value_text.find('\0')).append("</").append(log_event_tag);
    } else {
        line.append(" /");
    }
    line.append(">\n");
    put(log, line);
}

void append_event_time(std::string& out, const timeval& time) {
    append_number(out, static_cast<long>(time.tv_sec));
    out.push_back('.');
    append_number(out, static_cast<long>(time.tv_usec), 6);
}

void write_batch_close(FILE* log) {
    std::string& line = scratch();
    line.append("\t</").append(log_batch_tag).append(">\n");
    put(log, line);
}

void write_log_tail(FILE* log) {
    std::string& line = scratch();
    line.append("</").append(log_root_tag).append(">\n");
    put(log, line);
}

void write_batch(FILE* log, const event_batch_t& batch) {
    write_batch_open(log, batch.time, action_name(batch.cmd));
    for (const event_instance_t& ev : batch.events) write_event(log, batch.cmd, ev.path, ev.value);
    write_batch_close(log);
}
