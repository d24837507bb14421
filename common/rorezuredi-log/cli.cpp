// rorezuredi-log's command line, over CLI11 (compiled here only): the
// subcommands and their options, each value parsed once into its type by a
// validator, so that a bad argument is a usage error naming its option.
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "option_values.h"
#include "path_map.h"

namespace logtool {

namespace {

// A validator that parses each value once into `target` with `parse`
// (bool(text, T&, error)); the message of a text it refuses is the error.
template <class T, class Parse>
CLI::Validator into(T& target, Parse parse) {
    return {[&target, parse](std::string& text) {
                std::string error;
                return parse(text, target, error) ? std::string() : error;
            },
            ""};
}

// A value kept as it is written (a path rule, an attribute name).
template <class Add>
CLI::Validator each(Add add) {
    return {[add](std::string& text) {
                add(text);
                return std::string();
            },
            ""};
}

// An option whose values its validator takes (parses and stores); it may be
// given several times when `repeats`.
CLI::Option* option(CLI::App& sub, const std::string& name, const std::string& help, CLI::Validator take,
                    const char* type, bool repeats = false) {
    CLI::Option* o =
        sub.add_option(name)->description(help)->type_name(type)->expected(1)->check(std::move(take));
    if (repeats) o->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    return o;
}

}  // namespace

void add_selection(CLI::App& sub, selection& s) {
    option(sub, "--from", "keep batches at or after T (seconds on the log's axis, or ISO 8601 UTC)",
           into(s.from, time_value), "T");
    option(sub, "--to", "keep batches before T", into(s.to, time_value), "T");
    option(sub, "--batches", "keep the batches of indexes A to B-1 (file order, from 0)",
           into(s.batches, range_value), "A:B");
    CLI::Option* p =
        option(sub, "-p,--path", "keep only events whose path begins with PATH (as rorezuredi -p)",
               each([&s](const std::string& v) { s.include_path(v); }), "PATH", true);
    CLI::Option* x =
        option(sub, "-x,--exclude", "keep only events whose path does not begin with PATH (as rorezuredi -x)",
               each([&s](const std::string& v) { s.exclude_path(v); }), "PATH", true);
    p->excludes(x);
    CLI::Option* a = option(sub, "-a,--attr", "leaf events only of the last component ATTR (as -a)",
                            each([&s](const std::string& v) { s.include_attrs.insert(v); }), "ATTR", true);
    CLI::Option* i =
        option(sub, "-i,--not-attr", "leaf events only of another last component than ATTR (as -i)",
               each([&s](const std::string& v) { s.exclude_attrs.insert(v); }), "ATTR", true);
    a->excludes(i);
    option(sub, "--action", "keep only batches of this action (CMD_SET_LEAF, ...)",
           into(s.actions, action_value), "ACTION", true);
}

command add_info(CLI::App& app) {
    auto o = std::make_shared<info_options>();
    CLI::App* sub = app.add_subcommand(
        "info",
        "What a log holds: size, start, batches and events per action, times, rate, peaks in 1 s and 10 ms, "
        "the longest gaps, value types, the busiest path prefixes, batches out of order or at shared times "
        "and "
        "events replay would drop. Batch indexes count the batches with events, in file order, from 0. "
        "'first' "
        "and 'last' are the earliest and latest batch times; a peak's time is that of the first batch in its "
        "window. Shared times count every batch at the same time as the batch before or after it. Busiest "
        "prefixes are counted in 1024 counters: exact while the prefixes fit, else approximate (upper "
        "bounds)");
    sub->add_flag("--json", o->json,
                  "one JSON object instead of the text block; times as {seconds: number, text: exact "
                  "seconds with nine digits, iso: absolute time when the log has a start}");
    sub->add_option("FILE", o->file, "the log ('-' for standard input)")->required();
    return {sub, [o] { return run_info(*o); }};
}

command add_check(CLI::App& app) {
    auto o = std::make_shared<check_options>();
    CLI::App* sub = app.add_subcommand(
        "check",
        "Tell whether rorezuredi -l accepts the log (the reader's own verdict and messages), where and why "
        "not, whether it was only cut short, and what replay would do that may surprise");
    sub->add_flag("--json", o->json, "print one JSON object instead of lines");
    sub->add_flag("--strict", o->strict, "exit with status 1 when there are warnings too");
    option(*sub, "--max-gap",
           "warn about gaps between batches longer than S seconds (a replay with -d waits that long)",
           into(o->max_gap, seconds{}), "S")
        ->default_str("3600");
    sub->add_option("FILE", o->file, "the log (- for standard input)")->required();
    return {sub, [o] { return run_check(*o); }};
}

command add_repair(CLI::App& app) {
    auto o = std::make_shared<repair_options>();
    CLI::App* sub = app.add_subcommand(
        "repair",
        "Write the part of a log that replay can use as a well-formed log: its start and every batch "
        "complete before the first error (a log cut short by a kill gets back all it had finished)");
    sub->add_option("FILE", o->file, "the damaged log (- for standard input)")->required();
    sub->add_option("OUT", o->out, "the repaired log (- for standard output)")->required();
    return {sub, [o] { return run_repair(*o); }};
}

command add_slice(CLI::App& app) {
    auto o = std::make_shared<slice_options>();
    CLI::App* sub = app.add_subcommand("slice",
                                       "Keep the batches in a time window and an index range, and the events "
                                       "of the paths and actions named");
    add_selection(*sub, o->select);
    sub->add_flag("--rebase", o->rebase,
                  "move the axis so that the first kept batch is at 0, and the start with it");
    sub->add_option("FILE", o->file, "the log")->required();
    sub->add_option("OUT", o->out, "the sliced log")->required();
    return {sub, [o] { return run_slice(*o); }};
}

command add_merge(CLI::App& app) {
    auto o = std::make_shared<merge_options>();
    CLI::App* sub = app.add_subcommand("merge",
                                       "Merge logs into one, their batches in order of absolute time "
                                       "(start + batch time), ties in the order the logs are given");
    sub->add_option("OUT", o->out, "the merged log")->required();
    sub->add_option("FILE", o->files,
                    "the logs, each with a start element and in time order (see retime --start, --sort)")
        ->required()
        ->expected(2, CLI::detail::expected_max_vector_size);
    return {sub, [o] { return run_merge(*o); }};
}

command add_retime(CLI::App& app) {
    auto o = std::make_shared<retime_options>();
    CLI::App* sub = app.add_subcommand("retime",
                                       "Change a log's pace: divide the gaps between batches by a speed, cap "
                                       "long gaps, lengthen short ones, shift the batch times, "
                                       "sort the batches, set the start. The first batch keeps its time "
                                       "(plus --shift); times written strictly "
                                       "increase (a time that would not moves up by 1 ns)");
    option(*sub, "--speed", "divide every gap between batches by X (2 plays twice as fast)",
           into(o->speed, seconds{seconds::above_0}), "X");
    option(*sub, "--max-gap", "shorten every gap longer than S seconds (after --speed) to S",
           into(o->max_gap, seconds{seconds::at_least_0}), "S");
    option(*sub, "--min-gap",
           "lengthen every gap shorter than S seconds (after --speed and --max-gap) to S, moving later "
           "batches by as much: a replay with -d sends at most 1/S batches a second",
           into(o->min_gap, seconds{seconds::at_least_0}), "S");
    option(
        *sub, "--shift",
        "add S seconds (may be negative) to every batch time; a time that would go below 0 refuses the log",
        into(o->shift, seconds{}), "S");
    sub->add_flag("--sort", o->sort,
                  "put the batches into time order first, keeping file order among equal times (holds the "
                  "whole log in memory)");
    option(*sub, "--start", "set or replace the start element (ISO 8601 UTC time)", into(o->start, iso_value),
           "ISO");
    sub->add_option("FILE", o->file, "the log")->required();
    sub->add_option("OUT", o->out, "the retimed log")->required();
    return {sub, [o] { return run_retime(*o); }};
}

command add_timeline(CLI::App& app) {
    auto o = std::make_shared<timeline_options>();
    CLI::App* sub = app.add_subcommand("timeline",
                                       "Events per time bin and action: one row per bin with its start, the "
                                       "batch indexes it covers (A:B, for "
                                       "slice --batches) and a bar of one letter per action; and a chart of "
                                       "stacked bars with the busiest bin "
                                       "and the three longest gaps marked");
    option(*sub, "--bin",
           "bins of S seconds, aligned at multiples of S (default: a width of 1, 2 or 5 times a power of ten "
           "giving about 40 rows; at most 100000 rows)",
           into(o->bin, seconds{seconds::above_0}), "S");
    sub->add_option("--svg", o->svg, "also draw the chart into this SVG file");
    sub->add_option("--png", o->png, "also draw the chart into this PNG file");
    sub->add_option("FILE", o->file, "the log ('-' for standard input)")->required();
    return {sub, [o] { return run_timeline(*o); }};
}

// ---- print, export and import -------------------------------------------

command add_print(CLI::App& app) {
    auto o = std::make_shared<print_options>();
    CLI::App* sub = app.add_subcommand(
        "print",
        "The log as a person reads it: per batch a line 'batch INDEX TIME [ISO]', then one line per event "
        "as veltctl watch prints it (command, path, type and value of a set-leaf event, @ its timestamp), "
        "escaped as veltctl dump escapes; commands coloured on a terminal");
    add_selection(*sub, o->select);
    sub->add_option("FILE", o->file, "the log ('-' for standard input)")->required();
    return {sub, [o] { return run_print(*o); }};
}

command add_export(CLI::App& app) {
    auto o = std::make_shared<export_options>();
    CLI::App* sub = app.add_subcommand(
        "export",
        "One row per event, as JSON Lines or CSV (RFC 4180), columns batch, time, time_ns, iso_time, action, "
        "path, leaf, stamp, stamp_us, type, value, dropped");
    option(*sub, "--format", "jsonl or csv", into(o->format, format_value), "FORMAT")->default_str("jsonl");
    add_selection(*sub, o->select);
    sub->add_option("FILE", o->file, "the log ('-' for standard input)")->required();
    sub->add_option("OUT", o->out, "the rows ('-' for standard output)")->required();
    return {sub, [o] { return run_export(*o); }};
}

command add_import(CLI::App& app) {
    auto o = std::make_shared<import_options>();
    CLI::App* sub = app.add_subcommand(
        "import",
        "JSON Lines to a log: export's rows, or lines with time, action, path, and type and value for "
        "CMD_SET_LEAF. Lines of one batch index form a batch; without one, consecutive lines of one time "
        "and action do");
    option(*sub, "--start", "the start element (ISO 8601 UTC), when the lines carry no iso_time",
           into(o->start, iso_value), "ISO");
    sub->add_option("FILE", o->file, "the JSON Lines ('-' for standard input)")->required();
    sub->add_option("OUT", o->out, "the log ('-' for standard output)")->required();
    return {sub, [o] { return run_import(*o); }};
}

// ---- rewrite and repeat ---------------------------------------------------

command add_rewrite(CLI::App& app) {
    auto o = std::make_shared<rewrite_options>();
    CLI::App* sub = app.add_subcommand(
        "rewrite",
        "Move the events of subtrees to other paths: each path at or under OLD (whole components: /a takes "
        "in /a and /a/b, not /ab) gets NEW in place of OLD; the longest matching OLD wins, other paths stay "
        "as they are. Reports the events each map rewrote");
    option(*sub, "--map", "OLD=NEW, both canonicalised as rorezuredi -p does; no two with the same OLD",
           into(o->map, map_value), "OLD=NEW", true)
        ->required();
    sub->add_option("FILE", o->file, "the log ('-' for standard input)")->required();
    sub->add_option("OUT", o->out, "the rewritten log")->required();
    return {sub, [o] { return run_rewrite(*o); }};
}

command add_repeat(CLI::App& app) {
    auto o = std::make_shared<repeat_options>();
    CLI::App* sub = app.add_subcommand(
        "repeat",
        "Write N copies of a log one after the other, each shifted so that it begins S seconds after the "
        "last batch of the copy before it; batch times strictly increase. Reads FILE once per copy (a "
        "file, not standard input)");
    sub->add_option("N")
        ->description("the number of copies")
        ->check(into(o->copies, count_value))
        ->required();
    option(*sub, "--gap", "seconds between one copy's last batch and the next one's first",
           into(o->gap, seconds{seconds::at_least_0}), "S")
        ->default_str("1");
    option(*sub, "--map-each",
           "OLD=NEW as rewrite takes it, applied to copy k (from 0) with every %d in NEW replaced by k",
           into(o->map_each, map_value), "OLD=NEW", true);
    sub->add_option("FILE", o->file, "the log, in time order")->required();
    sub->add_option("OUT", o->out, "the repeated log")->required();
    return {sub, [o] { return run_repeat(*o); }};
}

// ---- state, diff, verify and snapshot ----------------------------------------

namespace {

// The logs of state, diff and verify, taken together in merge order, and --keep-going.
void add_replay(CLI::App* sub, std::vector<std::string>& files, bool& keep_going) {
    sub->add_flag("--keep-going", keep_going,
                  "apply a batch the store would refuse event by event, skipping the events it refuses");
    sub->add_option("FILE", files,
                    "the logs ('-' for standard input), each in time order, taken in merge's order")
        ->required();
}

}  // namespace

command add_state(CLI::App& app) {
    auto o = std::make_shared<state_options>();
    CLI::App* sub = app.add_subcommand(
        "state",
        "Print the tree replaying the logs into an empty store would leave, as veltctl dump does (a batch "
        "the store would refuse: reported, the tree before it printed, status 1)");
    option(*sub, "--at", "count only the batches at or before T (seconds on the logs' axis, or ISO 8601 UTC)",
           into(o->at, time_value), "T");
    sub->add_flag("--times", o->times, "end each leaf line with @SEC.USEC, as veltctl dump --times");
    sub->add_flag("--json", o->json, "print the tree as one JSON object");
    add_replay(sub, o->files, o->keep_going);
    return {sub, [o] { return run_state(*o); }};
}

command add_diff(CLI::App& app) {
    auto o = std::make_shared<diff_options>();
    CLI::App* sub = app.add_subcommand(
        "diff",
        "Print the net change between the state at T1 and at T2 in path order: '+ node P', '- leaf P TYPE "
        "TEXT', '~ leaf P TYPE OLD -> NEW'. Status 0 no change, 1 changes, 2 trouble");
    option(*sub, "--from", "the state at T1 (default: the empty tree)", into(o->from, time_value), "T1");
    option(*sub, "--to", "the state at T2 (default: after the last batch)", into(o->to, time_value), "T2");
    sub->add_flag("--json", o->json, "print a JSON array of changes");
    add_replay(sub, o->files, o->keep_going);
    return {sub, [o] { return run_diff(*o); }};
}

command add_verify(CLI::App& app) {
    auto o = std::make_shared<verify_options>();
    CLI::App* sub = app.add_subcommand(
        "verify",
        "Compare the state the logs leave with the live store (VELT_SOCKET): status 0 when equal, else 1 "
        "and the differing paths as diff prints them ('-' the logs only, '+' the store only)");
    sub->add_flag("--times", o->times, "compare the leaves' timestamps too");
    option(*sub, "-p,--path", "compare only the subtree at PATH", into(o->paths, store_path_value), "PATH",
           true);
    add_replay(sub, o->files, o->keep_going);
    return {sub, [o] { return run_verify(*o); }};
}

command add_snapshot(CLI::App& app) {
    auto o = std::make_shared<snapshot_options>();
    CLI::App* sub = app.add_subcommand(
        "snapshot",
        "Write the live store's tree (VELT_SOCKET) as a log that rebuilds it, with rorezuredi -t, into an "
        "empty store: add-node batches, then set-leaf batches; the start is the time of the dump");
    option(*sub, "-p,--path", "take only the subtree at PATH", into(o->paths, store_path_value), "PATH",
           true);
    sub->add_option("OUT", o->out, "the log ('-' for standard output)")->required();
    return {sub, [o] { return run_snapshot(*o); }};
}

int run_program(int argc, char** argv, const char* version) {
    CLI::App app{
        "Looks into, checks, repairs, slices, merges, retimes, rewrites, repeats, charts, prints,\n"
        "exports and imports rorezuredi event logs, and tells the store's state they leave (state,\n"
        "diff, verify, snapshot). FILE may be - for standard input and OUT - for standard output; a\n"
        "log read may be compressed with gzip or zstd, and an OUT ending in .gz or .zst is written so.\n"
        "Exit status: 0 success, 1 the log was refused (or check --strict drew warnings),\n"
        "2 a usage error or a file that can't be opened or written.",
        "rorezuredi-log"};
    app.set_version_flag("--version", version);
    app.require_subcommand(1, 1);
    app.fallthrough(false);

    const std::vector<command> commands = {
        add_info(app),    add_check(app),  add_repair(app),   add_slice(app),  add_merge(app),
        add_retime(app),  add_timeline(app), add_rewrite(app), add_repeat(app), add_print(app),
        add_export(app),  add_import(app), add_state(app),    add_diff(app),   add_verify(app),
        add_snapshot(app),
    };

    std::vector<std::string> names;
    for (const command& c : commands) names.push_back(c.app->get_name());
    if (argc > 1 && argv[1][0] != '-' && !is_subcommand(argv[1], names)) return exit_usage;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::fprintf(stderr, "rorezuredi-log: %s (see rorezuredi-log --help)\n", e.what());
        return exit_usage;
    }
    for (const command& c : commands)
        if (c.app->parsed()) return c.run();
    return exit_usage;
}

int run_subcommand(command (*add)(CLI::App&), std::vector<std::string> args) {
    CLI::App app;
    const command c = add(app);
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    app.parse(args);
    return c.run();
}

}  // namespace logtool
