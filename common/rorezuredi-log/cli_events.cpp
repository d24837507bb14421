// The command line of the subcommands that read or write a log event by event:
// print, export, import, rewrite and repeat.
#include <memory>

#include "cli.h"
#include "commands.h"
#include "option_values.h"
#include "path_map.h"

namespace logtool {

command add_print(CLI::App& app) {
    auto o = std::make_shared<print_options>();
    subcommand sub(
        app, "print",
        "The log as a person reads it: per batch a line 'batch INDEX TIME [ISO]', then one line per event "
        "as veltctl watch prints it (command, path, type and value of a set-leaf event, @ its timestamp), "
        "escaped as veltctl dump escapes; commands coloured on a terminal");
    add_selection(sub, o->select);
    sub.positional("FILE", o->file, "the log ('-' for standard input)");
    return {sub.app(), [o] { return run_print(*o); }};
}

command add_export(CLI::App& app) {
    auto o = std::make_shared<export_options>();
    subcommand sub(
        app, "export",
        "One row per event, as JSON Lines or CSV (RFC 4180), columns batch, time, time_ns, iso_time, action, "
        "path, leaf, stamp, stamp_us, type, value, dropped");
    subcommand::default_str(sub.option("--format", "jsonl or csv", into(o->format, format_value), "FORMAT"),
                            "jsonl");
    add_selection(sub, o->select);
    sub.positional("FILE", o->file, "the log ('-' for standard input)");
    sub.positional("OUT", o->out, "the rows ('-' for standard output)");
    return {sub.app(), [o] { return run_export(*o); }};
}

command add_import(CLI::App& app) {
    auto o = std::make_shared<import_options>();
    subcommand sub(
        app, "import",
        "JSON Lines to a log: export's rows, or lines with time, action, path, and type and value for "
        "CMD_SET_LEAF. Lines of one batch index form a batch; without one, consecutive lines of one time "
        "and action do");
    sub.option("--start", "the start element (ISO 8601 UTC), when the lines carry no iso_time",
               into(o->start, iso_value), "ISO");
    sub.positional("FILE", o->file, "the JSON Lines ('-' for standard input)");
    sub.positional("OUT", o->out, "the log ('-' for standard output)");
    return {sub.app(), [o] { return run_import(*o); }};
}

command add_rewrite(CLI::App& app) {
    auto o = std::make_shared<rewrite_options>();
    subcommand sub(
        app, "rewrite",
        "Move the events of subtrees to other paths: each path at or under OLD (whole components: /a takes "
        "in /a and /a/b, not /ab) gets NEW in place of OLD; the longest matching OLD wins, other paths stay "
        "as they are. Reports the events each map rewrote");
    subcommand::required(
        sub.option("--map", "OLD=NEW, both canonicalised as rorezuredi -p does; no two with the same OLD",
                   into(o->map, map_value), "OLD=NEW", true));
    sub.positional("FILE", o->file, "the log ('-' for standard input)");
    sub.positional("OUT", o->out, "the rewritten log");
    return {sub.app(), [o] { return run_rewrite(*o); }};
}

command add_repeat(CLI::App& app) {
    auto o = std::make_shared<repeat_options>();
    subcommand sub(
        app, "repeat",
        "Write N copies of a log one after the other, each shifted so that it begins S seconds after the "
        "last batch of the copy before it; batch times strictly increase. Reads FILE once per copy (a "
        "file, not standard input)");
    subcommand::required(sub.option("N", "the number of copies", into(o->copies, count_value), ""));
    subcommand::default_str(
        sub.option("--gap", "seconds between one copy's last batch and the next one's first",
                   into(o->gap, seconds{seconds::at_least_0}), "S"),
        "1");
    sub.option("--map-each",
               "OLD=NEW as rewrite takes it, applied to copy k (from 0) with every %d in NEW replaced by k",
               into(o->map_each, map_value), "OLD=NEW", true);
    sub.positional("FILE", o->file, "the log, in time order");
    sub.positional("OUT", o->out, "the repeated log");
    return {sub.app(), [o] { return run_repeat(*o); }};
}

}  // namespace logtool
