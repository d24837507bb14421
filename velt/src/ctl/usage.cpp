#include "ctl/usage.h"

#include "ctl/controller.h"
#include "ctl/format.h"
#include "protocol/messages.h"

namespace velt::ctl {

const char* const usage_text =
    "usage: veltctl COMMAND [ARGS...]\n"
    "  ping\n"
    "  add PATH...\n"
    "  remove PATH...\n"
    "  set PATH TYPE VALUE [PATH TYPE VALUE]...\n"
    "  clear PATH...\n"
    "  get PATH\n"
    "  status\n"
    "  watch [PATH]\n"
    "  dump [--times] [PATH]\n"
    "  batch [FILE]\n"
    "  failpoint OP CODE [COUNT|always]   (OP: add_nodes remove_nodes set_leaves\n"
    "                                     clear_leaves register events_get)\n"
    "  failpoint clear\n";

void usage(const std::string& message) {
    throw failure(failure::kind::usage, message);
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    append_escaped(out, text);
    out.push_back('\'');
    return out;
}

bool parse_count(const std::string& text, int64_t& count) {
    if (text == "always") {
        count = -1;
        return true;
    }
    return parse_number(text, count) && count > 0;
}

void check_usage(const std::vector<std::string>& words, bool in_batch) {
    if (words.empty()) usage("no command");
    const std::string& cmd = words[0];
    const std::size_t nargs = words.size() - 1;
    if (cmd == "ping" || cmd == "status") {
        if (nargs != 0) usage(cmd + " takes no arguments");
    } else if (cmd == "add" || cmd == "remove" || cmd == "clear") {
        if (nargs == 0) usage(cmd + " needs at least one PATH");
    } else if (cmd == "set") {
        if (nargs == 0 || nargs % 3 != 0) usage("set needs PATH TYPE VALUE triples");
    } else if (cmd == "get") {
        if (nargs != 1) usage("get needs one PATH");
    } else if (cmd == "dump") {
        bool times = false, path = false;
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (words[i] == "--times" && !times) {
                times = true;
            } else if (!words[i].empty() && words[i][0] == '-') {
                usage("dump: unknown option " + quoted(words[i]));
            } else if (!path) {
                path = true;
            } else {
                usage("dump takes at most one PATH");
            }
        }
    } else if (cmd == "watch" || cmd == "batch") {
        if (in_batch) usage(cmd + " cannot be used in a batch");
        if (nargs > 1) usage(cmd + (cmd == "watch" ? " takes at most one PATH" : " takes at most one FILE"));
    } else if (cmd == "failpoint") {
        if (nargs == 1 && words[1] == "clear") return;
        if (nargs != 2 && nargs != 3) usage("failpoint needs OP CODE [COUNT|always] or clear");
        if (!wire::is_failpoint_op(words[1])) usage("failpoint: unknown operation " + quoted(words[1]));
        int32_t code = 0;
        if (!parse_number(words[2], code))
            usage("failpoint: CODE must be an integer, not " + quoted(words[2]));
        int64_t count = 0;
        if (nargs == 3 && !parse_count(words[3], count)) {
            usage("failpoint: COUNT must be a positive integer or always, not " + quoted(words[3]));
        }
    } else {
        usage("unknown command " + quoted(cmd));
    }
}

}  // namespace velt::ctl
