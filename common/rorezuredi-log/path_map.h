// Path maps for rewrite and repeat: OLD=NEW rules that move the events of one
// subtree to another, the longest matching OLD winning, compared by whole
// path components.
#ifndef ROREZUREDI_LOG_PATH_MAP_H
#define ROREZUREDI_LOG_PATH_MAP_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "rorezuredi.h"

namespace logtool {

// One rule, both sides in the store's canonical form.
struct path_rule {
    std::string from, to;
};

// "OLD=NEW", as the report names a rule.
std::string rule_text(const path_rule& rule);

// A set of rules with distinct OLDs.
class path_map {
public:
    // False with a message in `error` when the OLD is already mapped.
    bool add(const path_rule& rule, std::string& error);
    bool empty() const { return m_rules.empty(); }
    size_t size() const { return m_rules.size(); }
    const path_rule& rule(size_t i) const { return m_rules[i]; }
    // The map for copy `copy` of repeat: every "%d" in a NEW replaced by it.
    path_map for_copy(long long copy) const;

    // Rewrites `path` by the rule with the longest OLD that it lies at or
    // under; returns that rule's index, or -1 (path unchanged) for none.
    long find_and_apply(tk_string& path) const;

    // Rewrites every event of `batch`; `per_rule[i]` counts rule i's events
    // (it is resized to size() when shorter).
    void apply(event_batch_t& batch, std::vector<long long>& per_rule) const;

private:
    void insert(const path_rule& rule);

    std::vector<path_rule> m_rules;
    std::map<std::string, size_t, std::less<>> m_by_from;
    size_t m_longest = 0;
};

// "OLD=NEW" parsed into a rule, both sides canonicalised as rorezuredi -p
// does (split at the first '='), and added to `map`; false with a message in
// `error` when there is no '=', when NEW (every "%d" in it read as a copy
// number) is not a path the store takes, or when OLD is already mapped.
bool map_value(const std::string& text, path_map& map, std::string& error);

}  // namespace logtool

#endif
