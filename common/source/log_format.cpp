// The event log writer: one function per element, each writing the exact
// bytes of the format with formatted stream output.
#include "log_format.h"

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

void write_log_head(FILE* log) {
    std::fputs(log_declaration, log);
    std::fprintf(log, "<%s>\n", log_root_tag);
}

void write_start(FILE* log, const timespec& start) {
    std::fprintf(log, "\t<%s %s=\"%ld.%ld\"/>\n", log_start_tag, log_time_attr,
                 static_cast<long>(start.tv_sec), static_cast<long>(start.tv_nsec));
}

void write_batch_open(FILE* log, const timespec& time, const char* action) {
    std::fprintf(log, "\t<%s %s=\"%ld.%.9ld\" %s=\"%s\">\n", log_batch_tag, log_time_attr,
                 static_cast<long>(time.tv_sec), static_cast<long>(time.tv_nsec), log_action_attr, action);
}

void write_event(FILE* log, api_cmd_t cmd, const tk_string& path, const toolkit::CElement& value) {
    // One program thread writes logs; the scratch strings keep their
    // storage from event to event.
    static tk_string escaped_path;
    static tk_string value_text;
    escaped_path = path;
    toolkit::CElement::xml_escape(escaped_path);
    const timeval& tv = value.timestamp();
    std::fprintf(log, "\t\t<%s %s=\"%s\" %s=\"%ld.%.6ld\"", log_event_tag, log_path_attr,
                 escaped_path.c_str(), log_time_attr, static_cast<long>(tv.tv_sec),
                 static_cast<long>(tv.tv_usec));
    if (cmd == CMD_SET_LEAF) {
        const char* name = vlt_enum_to_str(value.type());
        const char* type_text = name ? name : toolkit::CElement::_invalid.c_str();
        value.to_string(value_text);
        toolkit::CElement::xml_escape(value_text);
        std::fprintf(log, " %s=\"%s\">%s</%s", log_type_attr, type_text, value_text.c_str(), log_event_tag);
    } else {
        std::fputs(" /", log);
    }
    std::fputs(">\n", log);
}

void write_batch_close(FILE* log) {
    std::fprintf(log, "\t</%s>\n", log_batch_tag);
}

void write_log_tail(FILE* log) {
    std::fprintf(log, "</%s>\n", log_root_tag);
}

void write_batch(FILE* log, const event_batch_t& batch) {
    write_batch_open(log, batch.time, action_name(batch.cmd));
    for (const event_instance_t& ev : batch.events) write_event(log, batch.cmd, ev.path, ev.value);
    write_batch_close(log);
}
