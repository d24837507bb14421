// state and diff: the tree that replaying logs into an empty store would
// leave at a moment, and the net change between two moments.
#include "commands.h"
#include "log_replay.h"
#include "tree_print.h"

namespace logtool {

namespace {

// A time option on the logs' axis; `fallback` when not given. False after a
// message.
bool option_time(log_replay& r, const std::optional<time_arg>& t, nanos fallback, nanos& out) {
    out = fallback;
    return !t || r.axis_time(*t, out);
}

bool finish_output(line_out& out) {
    if (out.flush()) return true;
    std::fputs("rorezuredi-log: cannot write standard output\n", stderr);
    return false;
}

}  // namespace

int run_state(const state_options& o) {
    log_replay r;
    if (const int status = r.open(o.files, o.keep_going); status != exit_ok) return status;
    nanos at = 0;
    if (!option_time(r, o.at, log_replay::end_of_logs, at)) return exit_usage;
    // A refused batch still prints the tree as it stood before it.
    const int status = r.advance_to(at);
    if (status != exit_ok && !r.batch_refused()) return status;
    line_out out(stdout);
    if (o.json)
        print_json(out, r.state().root(), o.times);
    else
        print_dump(out, r.state().root(), "/", o.times);
    if (!finish_output(out)) return exit_usage;
    r.report_skipped();
    return status;
}

int run_diff(const diff_options& o) {
    // diff(1)'s statuses: 0 the same, 1 different, 2 trouble.
    constexpr int same = 0, different = 1, trouble = 2;
    log_replay r;
    if (r.open(o.files, o.keep_going) != exit_ok) return trouble;
    nanos from = 0, to = 0;
    if (!option_time(r, o.from, -1, from) || !option_time(r, o.to, log_replay::end_of_logs, to))
        return trouble;
    if (to < from) {
        std::fputs("rorezuredi-log: --to lies before --from\n", stderr);
        return trouble;
    }
    if (r.advance_to(from) != exit_ok) return trouble;
    const std::unique_ptr<store_entry> before = clone(r.state().root());
    if (r.advance_to(to) != exit_ok) return trouble;

    line_out out(stdout);
    json_changes json(out, false);
    std::string path = "/";
    const long long n = compare(before.get(), &r.state().root(), path, false, [&](const change& c) {
        if (o.json)
            json.add(c);
        else
            print_change(out, c, false);
    });
    if (o.json) json.finish();
    if (!finish_output(out)) return trouble;
    r.report_skipped();
    return n == 0 ? same : different;
}

}  // namespace logtool
