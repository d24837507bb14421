// The command line of the subcommands that tell the store's state: state,
// diff and verify over logs, snapshot from the live store.
#include <memory>

#include "cli.h"
#include "commands.h"
#include "option_values.h"

namespace logtool {

namespace {

// The logs of state, diff and verify, taken together in merge order, and --keep-going.
void add_replay(subcommand& sub, std::vector<std::string>& files, bool& keep_going) {
    sub.flag("--keep-going", keep_going,
             "apply a batch the store would refuse event by event, skipping the events it refuses");
    sub.positionals("FILE", files,
                    "the logs ('-' for standard input), each in time order, taken in merge's order");
}

}  // namespace

command add_state(CLI::App& app) {
    auto o = std::make_shared<state_options>();
    subcommand sub(
        app, "state",
        "Print the tree replaying the logs into an empty store would leave, as veltctl dump does (a batch "
        "the store would refuse: reported, the tree before it printed, status 1)");
    sub.option("--at", "count only the batches at or before T (seconds on the logs' axis, or ISO 8601 UTC)",
               into(o->at, time_value), "T");
    sub.flag("--times", o->times, "end each leaf line with @SEC.USEC, as veltctl dump --times");
    sub.flag("--json", o->json, "print the tree as one JSON object");
    add_replay(sub, o->files, o->keep_going);
    return {sub.app(), [o] { return run_state(*o); }};
}

command add_diff(CLI::App& app) {
    auto o = std::make_shared<diff_options>();
    subcommand sub(
        app, "diff",
        "Print the net change between the state at T1 and at T2 in path order: '+ node P', '- leaf P TYPE "
        "TEXT', '~ leaf P TYPE OLD -> NEW'. Status 0 no change, 1 changes, 2 trouble");
    sub.option("--from", "the state at T1 (default: the empty tree)", into(o->from, time_value), "T1");
    sub.option("--to", "the state at T2 (default: after the last batch)", into(o->to, time_value), "T2");
    sub.flag("--json", o->json, "print a JSON array of changes");
    add_replay(sub, o->files, o->keep_going);
    return {sub.app(), [o] { return run_diff(*o); }};
}

command add_verify(CLI::App& app) {
    auto o = std::make_shared<verify_options>();
    subcommand sub(
        app, "verify",
        "Compare the state the logs leave with the live store (VELT_SOCKET): status 0 when equal, else 1 "
        "and the differing paths as diff prints them ('-' the logs only, '+' the store only)");
    sub.flag("--times", o->times, "compare the leaves' timestamps too");
    sub.option("-p,--path", "compare only the subtree at PATH", into(o->paths, store_path_value), "PATH",
               true);
    add_replay(sub, o->files, o->keep_going);
    return {sub.app(), [o] { return run_verify(*o); }};
}

command add_snapshot(CLI::App& app) {
    auto o = std::make_shared<snapshot_options>();
    subcommand sub(
        app, "snapshot",
        "Write the live store's tree (VELT_SOCKET) as a log that rebuilds it, with rorezuredi -t, into an "
        "empty store: add-node batches, then set-leaf batches; the start is the time of the dump");
    sub.option("-p,--path", "take only the subtree at PATH", into(o->paths, store_path_value), "PATH", true);
    sub.positional("OUT", o->out, "the log ('-' for standard output)");
    return {sub.app(), [o] { return run_snapshot(*o); }};
}

}  // namespace logtool
