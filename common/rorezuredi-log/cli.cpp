// rorezuredi-log's command line, over CLI11: the subcommands, their options
// and the checks that make a bad argument a usage error.
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>
#include <velt_commands.h>

#include "commands.h"
#include "log_io.h"

namespace logtool {

namespace {

std::string check_time_arg(const std::string& text) {
    time_arg t;
    std::string error;
    return parse_time_arg(text, t, error) ? std::string() : error;
}

std::string check_seconds(const std::string& text) {
    nanos ns = 0;
    return parse_seconds(text, ns) ? std::string() : "'" + text + "' is not a number of seconds";
}

// A speed: a positive decimal number, in billionths.
std::string check_speed(const std::string& text) {
    nanos v = 0;
    if (!parse_seconds(text, v) || v <= 0) return "'" + text + "' is not a number above 0";
    return {};
}

std::string check_start(const std::string& text) {
    time_arg t;
    std::string error;
    if (!parse_time_arg(text, t, error)) return error;
    if (!t.absolute || t.value < 0)
        return "'" + text + "' is not an ISO 8601 UTC time (2026-12-06T19:04:13.5Z)";
    return {};
}

// A cap on gaps: seconds, 0 or more.
std::string check_cap(const std::string& text) {
    nanos v = 0;
    return parse_seconds(text, v) && v >= 0 ? std::string() : "'" + text + "' is not seconds >= 0";
}

std::string check_range(const std::string& text) {
    long long a = 0, b = 0;
    return parse_range(text, a, b) ? std::string() : "'" + text + "' is not A:B";
}

CLI::Validator seconds_arg() {
    return {check_seconds, "S"};
}

CLI::Validator time_arg_check() {
    return {check_time_arg, "T"};
}

std::vector<std::string> action_names() {
    std::vector<std::string> names;
    for (const auto& c : velt::command_names) names.emplace_back(c.name);
    return names;
}

}  // namespace

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
    sub->add_option("--max-gap", o->max_gap_text,
                    "warn about gaps between batches longer than S seconds (a replay with -d waits "
                    "that long)")
        ->check(seconds_arg())
        ->capture_default_str();
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
                                       "Keep the batches in a time window and an index range, and the "
                                       "events of the paths and actions named");
    sub->add_option("--from", o->from_text,
                    "keep batches at or after T (seconds on the log's axis, or ISO 8601 UTC)")
        ->check(time_arg_check());
    sub->add_option("--to", o->to_text, "keep batches before T")->check(time_arg_check());
    sub->add_option("--batches", o->batches_text, "keep the batches of indexes A to B-1 (file order, from 0)")
        ->check(CLI::Validator(check_range, "A:B"));
    CLI::Option* p = sub->add_option("-p,--path", o->filter.include_paths,
                                     "keep only events whose path begins with PATH (as rorezuredi -p)");
    CLI::Option* x =
        sub->add_option("-x,--exclude", o->filter.exclude_paths,
                        "keep only events whose path does not begin with PATH (as rorezuredi -x)");
    p->excludes(x);
    CLI::Option* a = sub->add_option("-a,--attr", o->filter.include_attrs,
                                     "leaf events only of the last component ATTR (as -a)");
    CLI::Option* i = sub->add_option("-i,--not-attr", o->filter.exclude_attrs,
                                     "leaf events only of another last component than ATTR (as -i)");
    a->excludes(i);
    sub->add_option("--action", o->actions, "keep only batches of this action (CMD_SET_LEAF, ...)")
        ->check(CLI::IsMember(action_names()));
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
    CLI::App* sub = app.add_subcommand(
        "retime",
        "Change a log's pace: divide the gaps between batches by a speed, cap long gaps, shift the "
        "batch times, sort the batches, set the start. The first batch keeps its time (plus --shift); "
        "times written strictly increase (a time that would not moves up by 1 ns)");
    sub->add_option("--speed", o->speed_text, "divide every gap between batches by X (2 plays twice as fast)")
        ->check(CLI::Validator(check_speed, "X"));
    sub->add_option("--max-gap", o->max_gap_text,
                    "shorten every gap longer than S seconds (after --speed) to S")
        ->check(CLI::Validator(check_cap, "S"));
    sub->add_option("--shift", o->shift_text,
                    "add S seconds (may be negative) to every batch time; a time that would go below 0 "
                    "refuses the log")
        ->check(seconds_arg());
    sub->add_flag("--sort", o->sort,
                  "put the batches into time order first, keeping file order among equal times (holds "
                  "the whole log in memory)");
    sub->add_option("--start", o->start_text, "set or replace the start element (ISO 8601 UTC time)")
        ->check(CLI::Validator(check_start, "ISO"));
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
    sub->add_option(
           "--bin", o->bin_text,
           "bins of S seconds, aligned at multiples of S (default: a width of 1, 2 or 5 times a power "
           "of ten giving about 40 rows; at most 100000 rows)")
        ->check(seconds_arg());
    sub->add_option("--svg", o->svg, "also draw the chart into this SVG file");
    sub->add_option("--png", o->png, "also draw the chart into this PNG file");
    sub->add_option("FILE", o->file, "the log ('-' for standard input)")->required();
    return {sub, [o] { return run_timeline(*o); }};
}

// The store's state: state, diff, verify and snapshot.

namespace {

// The logs taken together, in the order merge gives them.
void add_state_logs(CLI::App* sub, std::vector<std::string>& files) {
    sub->add_option(
           "FILE", files,
           "the logs ('-' for standard input), taken in the order merge gives their batches (several "
           "logs each need a start element); each in time order")
        ->required();
}

void add_keep_going(CLI::App* sub, bool& keep_going) {
    sub->add_flag("--keep-going", keep_going,
                  "apply a batch the store would refuse event by event, skipping (and reporting) the events "
                  "it refuses, instead of stopping there");
}

}  // namespace

command add_state(CLI::App& app) {
    auto o = std::make_shared<state_options>();
    CLI::App* sub = app.add_subcommand(
        "state",
        "Print the tree that replaying the logs into an empty store would leave, in veltctl dump's format. "
        "A batch the store would refuse is reported (log, batch index, time, code); the tree before it is "
        "printed and the status is 1");
    sub->add_option("--at", o->at_text,
                    "count only the batches at or before T (seconds on the logs' axis, or ISO 8601 UTC)")
        ->check(time_arg_check());
    sub->add_flag("--times", o->times, "end each leaf line with @SEC.USEC, as veltctl dump --times");
    sub->add_flag("--json", o->json, "print the tree as one JSON object");
    add_keep_going(sub, o->keep_going);
    add_state_logs(sub, o->files);
    return {sub, [o] { return run_state(*o); }};
}

command add_diff(CLI::App& app) {
    auto o = std::make_shared<diff_options>();
    CLI::App* sub = app.add_subcommand(
        "diff",
        "Print the net change between the state at T1 and at T2 in path order: '+ node P', '- leaf P TYPE "
        "TEXT', '~ leaf P TYPE OLD -> NEW'. Status 0 no change, 1 changes, 2 trouble");
    sub->add_option("--from", o->from_text, "the state at T1 (default: before the first batch)")
        ->check(time_arg_check());
    sub->add_option("--to", o->to_text, "the state at T2 (default: after the last batch)")
        ->check(time_arg_check());
    sub->add_flag("--json", o->json, "print a JSON array of changes");
    add_keep_going(sub, o->keep_going);
    add_state_logs(sub, o->files);
    return {sub, [o] { return run_diff(*o); }};
}

command add_verify(CLI::App& app) {
    auto o = std::make_shared<verify_options>();
    CLI::App* sub = app.add_subcommand(
        "verify",
        "Compare the state the logs leave with the live store (found by VELT_SOCKET): one line and status 0 "
        "when equal, else the differing paths as diff prints them ('-' only in the logs, '+' only in the "
        "store) and status 1; 2 trouble");
    sub->add_flag("--times", o->times, "compare the leaves' timestamps too");
    sub->add_option("-p,--path", o->paths, "compare only the subtree at PATH (repeatable)");
    add_keep_going(sub, o->keep_going);
    add_state_logs(sub, o->files);
    return {sub, [o] { return run_verify(*o); }};
}

command add_snapshot(CLI::App& app) {
    auto o = std::make_shared<snapshot_options>();
    CLI::App* sub = app.add_subcommand(
        "snapshot",
        "Write the live store's tree (found by VELT_SOCKET) as a log that rebuilds it: add-node batches for "
        "the nodes, then set-leaf batches with every leaf's value and timestamp; the start is the time of "
        "the dump. Replayed with rorezuredi -t into an empty store it gives the same veltctl dump --times");
    sub->add_option("-p,--path", o->paths, "take only the subtree at PATH (repeatable)");
    sub->add_option("OUT", o->out, "the log ('-' for standard output)")->required();
    return {sub, [o] { return run_snapshot(*o); }};
}

int run_program(int argc, char** argv, const char* version) {
    CLI::App app{
        "Looks into, checks, repairs, slices, merges, retimes and charts rorezuredi event logs,\n"
        "and tells the store's state they leave (state, diff, verify, snapshot).\n"
        "FILE may be - for standard input and OUT - for standard output. Exit status: 0 success,\n"
        "1 the log was refused (or check --strict drew warnings), 2 a usage error or a file\n"
        "that can't be opened or written.",
        "rorezuredi-log"};
    app.set_version_flag("--version", version);
    app.require_subcommand(1, 1);
    app.fallthrough(false);

    const std::vector<command> commands = {
        add_info(app),  add_check(app),  add_repair(app),   add_slice(app),
        add_merge(app), add_retime(app), add_timeline(app), add_state(app),
        add_diff(app),  add_verify(app), add_snapshot(app),
    };

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
