#include "selection.h"

#include <algorithm>
#include <charconv>

namespace logtool {

bool parse_batch_range(std::string_view text, batch_range& out, std::string& error) {
    const auto side = [](std::string_view s, long long& v) {
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        return ec == std::errc() && end == s.data() + s.size() && v >= 0;
    };
    const std::size_t colon = text.find(':');
    batch_range r{0, -1};
    const bool ok = colon != std::string_view::npos && (colon == 0 || side(text.substr(0, colon), r.first)) &&
                    (colon + 1 == text.size() || side(text.substr(colon + 1), r.end));
    if (!ok) {
        error = "'" + std::string(text) + "' is not A:B (batch indexes from 0, either side may be left out)";
        return false;
    }
    out = r;
    return true;
}

void selection::include_path(std::string path) {
    toolkit::CElement::canonicalize_path(path);
    include_paths.push_back(std::move(path));
}

void selection::exclude_path(std::string path) {
    toolkit::CElement::canonicalize_path(path);
    exclude_paths.push_back(std::move(path));
}

bool selection::needs_start() const {
    return (from && from->absolute) || (to && to->absolute);
}

bool selection::keeps(log_batch& b, nanos start) const {
    if (batches && !batches->holds(b.index)) return false;
    const nanos t = to_nanos(b.batch.time);
    if ((from && t < from->on_axis(start)) || (to && t >= to->on_axis(start))) return false;
    if (!actions.empty() && std::find(actions.begin(), actions.end(), b.batch.cmd) == actions.end())
        return false;
    if (include_paths.empty() && exclude_paths.empty() && include_attrs.empty() && exclude_attrs.empty())
        return true;
    const filter_rules_t rules{include_paths, exclude_paths, include_attrs, exclude_attrs};
    keep_events(b.batch, [&](const event_instance_t& ev) { return rules_use(rules, ev.path, b.batch.cmd); });
    return !b.batch.events.empty();
}

}  // namespace logtool
