// print: the log as a person reads it. Each batch is a header line with its
// index, its time on the log's axis and its absolute time, then one line per
// event in veltctl watch's form, escaped as veltctl dump escapes, so that an
// event is one line whatever its value holds.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "actions.h"
#include "commands.h"
#include "ctl/format.h"
#include "event_rows.h"
#include "log_format.h"

namespace logtool {

namespace {

void append_print_lines(std::string& out, const log_batch& b, bool colour) {
    std::string scratch;
    out.append("batch ");
    append_decimal(out, b.index);
    out.push_back(' ');
    const nanos time = to_nanos(b.batch.time);
    out.append(format_seconds(time));
    if (b.start) out.append(" ").append(format_iso(*b.start + time));
    out.push_back('\n');
    const api_cmd_t cmd = b.batch.cmd;
    const std::size_t slot = action_slot(cmd);
    const bool painted = colour && slot < action_count;
    for (const event_instance_t& ev : b.batch.events) {
        out.append("  ");
        if (painted) out.append(action_styles[slot].ansi);
        out.append(action_name(cmd));
        if (painted) out.append(ansi_reset);
        out.push_back(' ');
        velt::ctl::append_escaped(out, ev.path);
        if (cmd == CMD_SET_LEAF) {
            out.push_back(' ');
            out.append(type_name(ev));
            out.push_back(' ');
            velt::ctl::append_escaped(out, value_text(ev, scratch));
        }
        if (has_timestamp(ev)) {
            out.append(" @");
            append_event_time(out, ev.value.timestamp());
        }
        if (replay_drops(ev, cmd)) out.append(" (replay drops it: not a ").append(type_name(ev)).append(")");
        out.push_back('\n');
    }
}

}  // namespace

int run_print(const print_options& o) {
    std::optional<input_log> in = open_input(o.file);
    if (!in) return exit_usage;
    log_cursor cursor(std::move(*in), every_event);
    const bool colour = isatty(STDOUT_FILENO) == 1;
    std::string text;
    const int status = show_batches(cursor, o.select, [&](const log_batch& b) {
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
