// The command line of the subcommands that look into and reshape whole logs:
// info, check, repair, slice, merge, retime and timeline; and the options of a
// selection, shared with print and export.
#include <memory>

#include "cli.h"
#include "commands.h"
#include "option_values.h"

namespace logtool {

void add_selection(subcommand& sub, selection& s) {
    sub.option("--from", "keep batches at or after T (seconds on the log's axis, or ISO 8601 UTC)",
               into(s.from, time_value), "T");
    sub.option("--to", "keep batches before T", into(s.to, time_value), "T");
    sub.option("--batches", "keep the batches of indexes A to B-1 (file order, from 0)",
               into(s.batches, range_value), "A:B");
    const subcommand::handle p =
        sub.option("-p,--path", "keep only events whose path begins with PATH (as rorezuredi -p)",
                   each([&s](const std::string& v) { s.include_path(v); }), "PATH", true);
    const subcommand::handle x =
        sub.option("-x,--exclude", "keep only events whose path does not begin with PATH (as rorezuredi -x)",
                   each([&s](const std::string& v) { s.exclude_path(v); }), "PATH", true);
    subcommand::excludes(p, x);
    const subcommand::handle a =
        sub.option("-a,--attr", "leaf events only of the last component ATTR (as -a)",
                   each([&s](const std::string& v) { s.include_attrs.insert(v); }), "ATTR", true);
    const subcommand::handle i =
        sub.option("-i,--not-attr", "leaf events only of another last component than ATTR (as -i)",
                   each([&s](const std::string& v) { s.exclude_attrs.insert(v); }), "ATTR", true);
    subcommand::excludes(a, i);
    sub.option("--action", "keep only batches of this action (CMD_SET_LEAF, ...)",
               into(s.actions, action_value), "ACTION", true);
}

command add_info(CLI::App& app) {
    auto o = std::make_shared<info_options>();
    subcommand sub(
        app, "info",
        "What a log holds: size, start, batches and events per action, times, rate, peaks in 1 s and 10 ms, "
        "the longest gaps, value types, the busiest path prefixes, batches out of order or at shared times "
        "and "
        "events replay would drop. Batch indexes count the batches with events, in file order, from 0. "
        "'first' "
        "and 'last' are the earliest and latest batch times; a peak's time is that of the first batch in its "
        "window. Shared times count every batch at the same time as the batch before or after it. Busiest "
        "prefixes are counted in 1024 counters: exact while the prefixes fit, else approximate (upper "
        "bounds)");
    sub.flag("--json", o->json,
             "one JSON object instead of the text block; times as {seconds: number, text: exact "
             "seconds with nine digits, iso: absolute time when the log has a start}");
    sub.positional("FILE", o->file, "the log ('-' for standard input)");
    return {sub.app(), [o] { return run_info(*o); }};
}

command add_check(CLI::App& app) {
    auto o = std::make_shared<check_options>();
    subcommand sub(
        app, "check",
        "Tell whether rorezuredi -l accepts the log (the reader's own verdict and messages), where and why "
        "not, whether it was only cut short, and what replay would do that may surprise");
    sub.flag("--json", o->json, "print one JSON object instead of lines");
    sub.flag("--strict", o->strict, "exit with status 1 when there are warnings too");
    subcommand::default_str(
        sub.option("--max-gap",
                   "warn about gaps between batches longer than S seconds (a replay with -d waits that long)",
                   into(o->max_gap, seconds{}), "S"),
        "3600");
    sub.positional("FILE", o->file, "the log (- for standard input)");
    return {sub.app(), [o] { return run_check(*o); }};
}

command add_repair(CLI::App& app) {
    auto o = std::make_shared<repair_options>();
    subcommand sub(
        app, "repair",
        "Write the part of a log that replay can use as a well-formed log: its start and every batch "
        "complete before the first error (a log cut short by a kill gets back all it had finished)");
    sub.positional("FILE", o->file, "the damaged log (- for standard input)");
    sub.positional("OUT", o->out, "the repaired log (- for standard output)");
    return {sub.app(), [o] { return run_repair(*o); }};
}

command add_slice(CLI::App& app) {
    auto o = std::make_shared<slice_options>();
    subcommand sub(app, "slice",
                   "Keep the batches in a time window and an index range, and the events "
                   "of the paths and actions named");
    add_selection(sub, o->select);
    sub.flag("--rebase", o->rebase,
             "move the axis so that the first kept batch is at 0, and the start with it");
    sub.positional("FILE", o->file, "the log");
    sub.positional("OUT", o->out, "the sliced log");
    return {sub.app(), [o] { return run_slice(*o); }};
}

command add_merge(CLI::App& app) {
    auto o = std::make_shared<merge_options>();
    subcommand sub(app, "merge",
                   "Merge logs into one, their batches in order of absolute time "
                   "(start + batch time), ties in the order the logs are given");
    sub.positional("OUT", o->out, "the merged log");
    sub.positionals("FILE", o->files,
                    "the logs, each with a start element and in time order (see retime --start, --sort)", 2);
    return {sub.app(), [o] { return run_merge(*o); }};
}

command add_retime(CLI::App& app) {
    auto o = std::make_shared<retime_options>();
    subcommand sub(app, "retime",
                   "Change a log's pace: divide the gaps between batches by a speed, cap "
                   "long gaps, lengthen short ones, shift the batch times, "
                   "sort the batches, set the start. The first batch keeps its time "
                   "(plus --shift); times written strictly "
                   "increase (a time that would not moves up by 1 ns)");
    sub.option("--speed", "divide every gap between batches by X (2 plays twice as fast)",
               into(o->speed, seconds{seconds::above_0}), "X");
    sub.option("--max-gap", "shorten every gap longer than S seconds (after --speed) to S",
               into(o->max_gap, seconds{seconds::at_least_0}), "S");
    sub.option("--min-gap",
               "lengthen every gap shorter than S seconds (after --speed and --max-gap) to S, moving later "
               "batches by as much: a replay with -d sends at most 1/S batches a second",
               into(o->min_gap, seconds{seconds::at_least_0}), "S");
    sub.option(
        "--shift",
        "add S seconds (may be negative) to every batch time; a time that would go below 0 refuses the log",
        into(o->shift, seconds{}), "S");
    sub.flag("--sort", o->sort,
             "put the batches into time order first, keeping file order among equal times (holds the "
             "whole log in memory)");
    sub.option("--start", "set or replace the start element (ISO 8601 UTC time)", into(o->start, iso_value),
               "ISO");
    sub.positional("FILE", o->file, "the log");
    sub.positional("OUT", o->out, "the retimed log");
    return {sub.app(), [o] { return run_retime(*o); }};
}

command add_timeline(CLI::App& app) {
    auto o = std::make_shared<timeline_options>();
    subcommand sub(app, "timeline",
                   "Events per time bin and action: one row per bin with its start, the "
                   "batch indexes it covers (A:B, for "
                   "slice --batches) and a bar of one letter per action; and a chart of "
                   "stacked bars with the busiest bin "
                   "and the three longest gaps marked");
    sub.option(
        "--bin",
        "bins of S seconds, aligned at multiples of S (default: a width of 1, 2 or 5 times a power of ten "
        "giving about 40 rows; at most 100000 rows)",
        into(o->bin, seconds{seconds::above_0}), "S");
    sub.text("--svg", o->svg, "also draw the chart into this SVG file");
    sub.text("--png", o->png, "also draw the chart into this PNG file");
    sub.positional("FILE", o->file, "the log ('-' for standard input)");
    return {sub.app(), [o] { return run_timeline(*o); }};
}

}  // namespace logtool
