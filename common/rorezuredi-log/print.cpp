// print: the log as a person reads it. Each batch is a header line with its
// index, its time on the log's axis and its absolute time, then one line per
// event in veltctl watch's form, escaped as veltctl dump escapes, so that an
// event is one line whatever its value holds.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "event_rows.h"
#include "log_stats.h"

namespace logtool {

namespace {

void append_print_lines(std::string& out, const shown_batch& b, bool colour) {
    std::string scratch;
    out.append("batch ");
    append_integer(out, b.index);
    out.push_back(' ');
    out.append(format_seconds(b.time));
    if (b.has_start) out.append(" ").append(format_iso(b.start + b.time));
    out.push_back('\n');
    const api_cmd_t cmd = b.batch->cmd;
    const std::size_t slot = action_slot(cmd);
    for (std::size_t i = 0; i < b.batch->events.size(); ++i) {
        const event_instance_t& ev = b.batch->events[i];
        out.append("  ");
        if (colour && slot < action_count) out.append(action_ansi[slot]);
        out.append(action_name(cmd));
        if (colour && slot < action_count) out.append(ansi_reset);
        out.push_back(' ');
        append_visible(out, ev.path);
        if (cmd == CMD_SET_LEAF) {
            out.push_back(' ');
            out.append(type_name(ev));
            out.push_back(' ');
            append_visible(out, value_text(ev, b.dropped[i] != 0, scratch));
        }
        if (has_timestamp(ev)) {
            out.append(" @");
            append_event_time(out, ev.value.timestamp());
        }
        if (b.dropped[i] != 0) out.append(" (replay drops it: not a ").append(type_name(ev)).append(")");
        out.push_back('\n');
    }
}

}  // namespace

int run_print(const print_options& o) {
    input_log in;
    if (!open_input(o.file, in)) return exit_usage;
    const bool colour = isatty(STDOUT_FILENO) == 1;
    std::string text;
    const int status = show_batches(o.select, in, [&](const shown_batch& b) {
        text.clear();
        append_print_lines(text, b, colour);
        std::fwrite(text.data(), 1, text.size(), stdout);
    });
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::perror("rorezuredi-log: print: standard output");
        return exit_usage;
    }
    return status;
}

}  // namespace logtool
