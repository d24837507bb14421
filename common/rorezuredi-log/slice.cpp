// slice: keeps the batches in a time window and an index range, and within
// them the events that path rules and actions keep.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <velt_commands.h>

#include "commands.h"
#include "log_io.h"

namespace logtool {

namespace {

struct slice_options {
    std::string from_text, to_text, batches_text;
    path_filter_args filter;
    std::vector<std::string> actions;
    bool rebase = false;
    std::string file, out;
};

// "A:B" with either side left out; false when it is not that form.
bool parse_range(const std::string& text, long long& a, long long& b) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string left = text.substr(0, colon), right = text.substr(colon + 1);
    try {
        size_t used = 0;
        a = left.empty() ? 0 : std::stoll(left, &used);
        if (!left.empty() && (used != left.size() || a < 0)) return false;
        b = right.empty() ? -1 : std::stoll(right, &used);
        if (!right.empty() && (used != right.size() || b < 0)) return false;
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::vector<std::string> action_names() {
    std::vector<std::string> names;
    for (const auto& c : velt::command_names) names.emplace_back(c.name);
    return names;
}

int run_slice(const slice_options& o) {
    time_arg from, to;
    std::string error;
    if (!o.from_text.empty()) parse_time_arg(o.from_text, from, error);
    if (!o.to_text.empty()) parse_time_arg(o.to_text, to, error);
    long long first_index = 0, end_index = -1;
    if (!o.batches_text.empty()) parse_range(o.batches_text, first_index, end_index);
    std::vector<api_cmd_t> actions;
    for (const std::string& a : o.actions) actions.push_back(action_code(a.c_str()));
    install_filter(o.filter);

    input_log in;
    if (!open_input(o.file, in)) return exit_usage;
    output_log out;
    if (!out.open(o.out, {&in})) return exit_usage;

    log_cursor cursor(in);
    cursor.prime();
    const bool absolute = (from.given && from.absolute) || (to.given && to.absolute);
    if (absolute && !cursor.start_seen()) {
        std::fprintf(stderr,
                     "rorezuredi-log: '%s' has no start element before its first batch, so ISO times can't "
                     "be placed on it; give the times in seconds\n",
                     in.display().c_str());
        return exit_refused;
    }
    const nanos start = to_nanos(cursor.start());
    const nanos from_ns = !from.given ? 0 : from.absolute ? from.value - start : from.value;
    const nanos to_ns = !to.given ? 0 : to.absolute ? to.value - start : to.value;

    write_log_head(out.stream());
    bool head_done = false;
    nanos shift = 0;
    long long index = -1, kept = 0, events = 0;
    event_batch_t batch;
    while (cursor.next(batch)) {
        ++index;
        if (index < first_index || (end_index >= 0 && index >= end_index)) continue;
        const nanos t = to_nanos(batch.time);
        if ((from.given && t < from_ns) || (to.given && t >= to_ns)) continue;
        if (!actions.empty() && std::find(actions.begin(), actions.end(), batch.cmd) == actions.end())
            continue;
        if (!filter_batch(batch)) continue;
        if (!head_done) {
            // The start element goes before the first batch; --rebase moves the
            // axis so that this batch is at 0 and the start by as much.
            head_done = true;
            if (o.rebase) shift = t;
            if (cursor.start_seen()) {
                timespec s{};
                from_nanos(start + shift, s);
                write_start(out.stream(), s);
            }
        }
        from_nanos(t - shift, batch.time);
        write_batch(out.stream(), batch);
        ++kept;
        events += static_cast<long long>(batch.events.size());
    }
    if (cursor.failed()) return refuse(in, cursor.report());
    if (!head_done && cursor.start_seen()) write_start(out.stream(), cursor.start());
    write_log_tail(out.stream());
    if (!out.commit()) return exit_usage;
    std::fprintf(stderr, "slice: kept %lld batches, %lld events\n", kept, events);
    return exit_ok;
}

}  // namespace

command add_slice(CLI::App& app) {
    auto o = std::make_shared<slice_options>();
    CLI::App* sub = app.add_subcommand("slice",
                                       "Keep the batches in a time window and an index range, and the "
                                       "events of the paths and actions named");
    sub->add_option("--from", o->from_text,
                    "keep batches at or after T (seconds on the log's axis, or ISO 8601 UTC)")
        ->check(CLI::Validator(check_time_arg, "T"));
    sub->add_option("--to", o->to_text, "keep batches before T")->check(CLI::Validator(check_time_arg, "T"));
    sub->add_option("--batches", o->batches_text, "keep the batches of indexes A to B-1 (file order, from 0)")
        ->check(CLI::Validator(
            [](const std::string& t) {
                long long a = 0, b = 0;
                return parse_range(t, a, b) ? std::string() : "'" + t + "' is not A:B";
            },
            "A:B"));
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

}  // namespace logtool
