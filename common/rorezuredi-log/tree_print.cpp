#include "tree_print.h"

#include <nlohmann/json.hpp>

#include "ctl/format.h"

namespace logtool {

using toolkit::CElement;

void line_out::end_line() {
    m_text.push_back('\n');
    if (m_text.size() >= (size_t(64) << 10)) flush();
}

bool line_out::flush() {
    if (!m_text.empty() && std::fwrite(m_text.data(), 1, m_text.size(), m_out) != m_text.size()) m_ok = false;
    m_text.clear();
    if (std::fflush(m_out) != 0) m_ok = false;
    return m_ok;
}

void print_dump(line_out& out, const store_entry& e, std::string path, bool times) {
    walk(e, path, [&](const std::string& p, const store_entry& x) {
        velt::ctl::append_dump_line(out.text(), x.leaf, p, x.value, times);
        out.end_line();
    });
}

namespace {

void append_json(std::string& out, std::string_view text) {
    out += nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string value_text(const CElement& v) {
    return v.type() == DATATYPE_STRING ? std::string(v.get_bytes()) : v.to_string();
}

std::string time_text(const CElement& v) {
    std::string t;
    velt::ctl::append_time(t, v.timestamp());
    return t.substr(2);  // without " @"
}

const char* type_name(const CElement& v) {
    const char* name = vlt_enum_to_str(v.type());
    return name != nullptr ? name : CElement::_invalid.c_str();
}

// "type": T, "value": TEXT[, "time": SEC.USEC], keys prefixed with `prefix`.
void append_leaf_fields(std::string& out, const CElement& v, bool times, const char* prefix) {
    out.append(", \"").append(prefix).append("type\": ");
    append_json(out, type_name(v));
    out.append(", \"").append(prefix).append("value\": ");
    append_json(out, value_text(v));
    if (times) {
        out.append(", \"").append(prefix).append("time\": ");
        append_json(out, time_text(v));
    }
}

void json_entry(line_out& out, const store_entry& e, bool times, int depth) {
    std::string& t = out.text();
    if (e.leaf) {
        t.append("{\"kind\": \"leaf\"");
        append_leaf_fields(t, e.value, times, "");
        t.push_back('}');
        return;
    }
    t.append("{\"kind\": \"node\", \"children\": {");
    bool first = true;
    for (const auto& [name, child] : e.children) {
        t.append(first ? "\n" : ",\n");
        first = false;
        t.append(size_t(depth + 1) * 2, ' ');
        append_json(t, name);
        t.append(": ");
        json_entry(out, *child, times, depth + 1);
        if (out.text().size() >= (size_t(64) << 10)) out.flush();
    }
    if (!first) {
        out.text().push_back('\n');
        out.text().append(size_t(depth) * 2, ' ');
    }
    out.text().append("}}");
}

}  // namespace

void print_json(line_out& out, const store_entry& root, bool times) {
    json_entry(out, root, times, 0);
    out.end_line();
}

void print_change(line_out& out, const change& c, bool times) {
    std::string& t = out.text();
    t.push_back(c.op);
    t.push_back(' ');
    velt::ctl::append_dump_line(t, c.leaf, *c.path, c.op == '+' ? *c.after : *c.before, times);
    if (c.leaf) {
        if (c.op == '~') {
            t.append(" -> ");
            if (c.before->type() != c.after->type()) {
                velt::ctl::append_typed_value(t, *c.after);
            } else {
                // The text alone: the value part of "TYPE TEXT".
                std::string typed;
                velt::ctl::append_typed_value(typed, *c.after);
                t.append(typed, typed.find(' ') + 1);
            }
            if (times) velt::ctl::append_time(t, c.after->timestamp());
        }
    }
    out.end_line();
}

void json_changes::add(const change& c) {
    std::string& t = m_out.text();
    t.append(m_first ? "[\n" : ",\n");
    m_first = false;
    t.append("  {\"op\": \"");
    t.push_back(c.op);
    t.append(c.leaf ? "\", \"kind\": \"leaf\", \"path\": " : "\", \"kind\": \"node\", \"path\": ");
    append_json(t, *c.path);
    if (c.leaf) {
        if (c.op == '~') append_leaf_fields(t, *c.before, m_times, "old_");
        append_leaf_fields(t, c.op == '-' ? *c.before : *c.after, m_times, "");
    }
    t.push_back('}');
    if (t.size() >= (size_t(64) << 10)) m_out.flush();
}

void json_changes::finish() {
    m_out.text().append(m_first ? "[]" : "\n]");
    m_out.end_line();
}

}  // namespace logtool
