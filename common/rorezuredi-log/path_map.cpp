// Path maps: parsing OLD=NEW, the check that a mapped path is one the store
// takes, and the longest-match rewrite of event paths.
#include "path_map.h"

#include <algorithm>
#include <string_view>

#include <velt++.h>

namespace logtool {

namespace {

constexpr std::string_view copy_mark = "%d";

std::string replace_marks(std::string text, std::string_view by) {
    for (size_t at = text.find(copy_mark); at != std::string::npos; at = text.find(copy_mark, at + by.size()))
        text.replace(at, copy_mark.size(), by);
    return text;
}

// True when the store takes `path` as it stands: canonical, and every
// component valid UTF-8 without control characters, U+FFFE or U+FFFF.
bool store_accepts(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    if (path.size() == 1) return true;
    if (path.back() == '/' || path.find("//") != std::string_view::npos) return false;
    // A string value may hold tab, line feed and carriage return; a path may not.
    return path.find_first_of("\t\n\r") == std::string_view::npos && toolkit::CElement::valid_string(path);
}

bool parse_rule(const std::string& text, path_rule& out, std::string& error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        error = "'" + text + "' is not OLD=NEW";
        return false;
    }
    path_rule r{text.substr(0, eq), text.substr(eq + 1)};
    toolkit::CElement::canonicalize_path(r.from);
    toolkit::CElement::canonicalize_path(r.to);
    // Copy numbers are digits, which any component may hold.
    if (!store_accepts(replace_marks(r.to, "0"))) {
        error = "'" + text + "': the store takes no path that begins with '" + r.to +
                "' (a component holds a control character or is not UTF-8)";
        return false;
    }
    if (r.to == "/" && r.from != "/") {
        error = "'" + text + "' maps " + r.from +
                " itself to the root, which takes no change; map the subtree to a path below the root";
        return false;
    }
    out = std::move(r);
    return true;
}

}  // namespace

bool map_value(const std::string& text, path_map& map, std::string& error) {
    path_rule rule;
    return parse_rule(text, rule, error) && map.add(rule, error);
}

std::string rule_text(const path_rule& rule) {
    return rule.from + "=" + rule.to;
}

bool path_map::add(const path_rule& rule, std::string& error) {
    if (m_by_from.count(rule.from) != 0) {
        error = "two maps of " + rule.from + ": " + rule_text(m_rules[m_by_from.find(rule.from)->second]) +
                " and " + rule_text(rule);
        return false;
    }
    insert(rule);
    return true;
}

void path_map::insert(const path_rule& rule) {
    m_by_from.emplace(rule.from, m_rules.size());
    m_rules.push_back(rule);
    m_longest = std::max(m_longest, rule.from.size());
}

path_map path_map::for_copy(long long copy) const {
    path_map map;
    for (const path_rule& r : m_rules) map.insert({r.from, replace_marks(r.to, std::to_string(copy))});
    return map;
}

long path_map::find_and_apply(tk_string& path) const {
    if (m_rules.empty() || path.empty() || path.front() != '/') return -1;
    const std::string_view p(path);
    // Every place where a component ends, from the longest OLD down; the
    // empty prefix stands for the root's rule "/".
    for (size_t n = std::min(p.size(), m_longest);; --n) {
        if (n == p.size() || p[n] == '/') {
            const auto it = m_by_from.find(n == 0 ? std::string_view("/") : p.substr(0, n));
            if (it != m_by_from.end()) {
                const path_rule& r = m_rules[it->second];
                if (r.from != "/")
                    path.replace(0, r.from.size(), r.to);
                else if (path == "/")
                    path = r.to;
                else if (r.to != "/")
                    path.insert(0, r.to);
                return static_cast<long>(it->second);
            }
        }
        if (n == 0) return -1;
    }
}

void path_map::apply(event_batch_t& batch, std::vector<long long>& per_rule) const {
    if (per_rule.size() < m_rules.size()) per_rule.resize(m_rules.size());
    if (m_rules.empty()) return;
    for (event_instance_t& e : batch.events) {
        const long i = find_and_apply(e.path);
        if (i >= 0) ++per_rule[static_cast<size_t>(i)];
    }
}

}  // namespace logtool
