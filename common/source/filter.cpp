// Event filter: decides by path prefix and, for leaf commands, by the last
// path component whether one change event is used.
#include "rorezuredi.h"

namespace {

// Plain byte-wise prefix test; knows nothing of path components.
bool begins_with(const tk_string& path, const tk_string& prefix) {
    return path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool ok_to_use(const tk_string& path, api_cmd_t cmd) {
    const ProgramState& ps = program_state;
    return rules_use({ps.include_paths, ps.exclude_paths, ps.include_attrs, ps.exclude_attrs}, path, cmd);
}

bool rules_use(const filter_rules_t& rules, const tk_string& path, api_cmd_t cmd) {
    if (!rules.include_paths.empty()) {
        bool matched = false;
        for (const tk_string& prefix : rules.include_paths) {
            if (begins_with(path, prefix)) {
                matched = true;
                break;
            }
        }
        if (!matched) return false;
    } else {
        for (const tk_string& prefix : rules.exclude_paths) {
            if (begins_with(path, prefix)) return false;
        }
    }

    if (rules.include_attrs.empty() && rules.exclude_attrs.empty()) return true;

    if (cmd != CMD_SET_LEAF && cmd != CMD_CLEAR_LEAF) return true;

    // A path without '/' or ending in '/' has no attribute: no -a name can
    // match it (refused) and no -i name can exclude it (used).
    const auto slash = path.rfind('/');
    if (slash == tk_string::npos || slash + 1 == path.size()) return rules.include_attrs.empty();

    const tk_string attr = path.substr(slash + 1);
    if (!rules.include_attrs.empty()) return rules.include_attrs.count(attr) != 0;
    return rules.exclude_attrs.count(attr) == 0;
}
