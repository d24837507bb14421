// verify: does the live store hold what the logs leave?
#include "commands.h"
#include "live_store.h"
#include "log_replay.h"
#include "tree_print.h"

namespace logtool {

int run_verify(const verify_options& o) {
    constexpr int equal = 0, different = 1, trouble = 2;
    const std::vector<std::string> paths = subtree_paths(o.paths);
    log_replay r;
    if (r.open(o.files, o.keep_going) != exit_ok) return trouble;
    if (r.advance_to(log_replay::end_of_logs) != exit_ok) return trouble;

    toolkit::CVelt api;
    if (!connect_store(api)) return trouble;
    std::vector<velt::admin::dump_entry> listed;
    if (dump_subtrees(api.handle, paths, true, listed) != 0) return trouble;
    store_entry live;
    for (const auto& e : listed) insert_listed(live, e.path, e.is_leaf, e.value);
    listed = {};

    // The logs' tree is the old side, the store the new: "+" is in the store only.
    line_out out(stdout);
    long long differences = 0, compared = 0;
    for (std::string path : paths) {
        const store_entry* mine = find_entry(r.state().root(), path);
        const store_entry* theirs = find_entry(live, path);
        if (mine != nullptr) {
            std::string p = path;
            walk(*mine, p, [&](const std::string&, const store_entry&) { ++compared; });
        }
        differences +=
            compare(mine, theirs, path, o.times, [&](const change& c) { print_change(out, c, o.times); });
    }
    if (differences == 0) {
        out.text() +=
            "verify: the store matches the logs (" + std::to_string(compared) + " entries compared)";
        out.end_line();
    }
    if (!out.flush()) return trouble;
    r.report_skipped();
    return differences == 0 ? equal : different;
}

}  // namespace logtool
