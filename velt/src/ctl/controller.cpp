// veltctl's one-request commands.
#include "ctl/controller.h"

#include <cerrno>
#include <cstring>
#include <velt_admin.h>

#include "ctl/format.h"
#include "ctl/usage.h"

namespace velt::ctl {

namespace {

[[noreturn]] void refused(const std::string& command, int code) {
    throw failure(failure::kind::store, command + " failed: " + describe_code(code));
}

}  // namespace

void controller::run(std::vector<std::string>& words) {
    const std::string& cmd = words[0];
    if (cmd == "ping") {
        const int rc = admin::ping(m_api.handle);
        if (rc != 0) refused("ping", rc);
    } else if (cmd == "add" || cmd == "remove" || cmd == "clear") {
        requests(words);
    } else if (cmd == "set") {
        set(words);
    } else if (cmd == "get") {
        get(words[1]);
    } else if (cmd == "dump") {
        dump(words);
    } else if (cmd == "status") {
        status();
    } else if (cmd == "failpoint") {
        failpoint(words);
    } else {
        usage("unknown command " + quoted(cmd));
    }
}

void controller::requests(std::vector<std::string>& words) {
    m_paths.clear();
    for (std::size_t i = 1; i < words.size(); ++i) m_paths.push_back(std::move(words[i]));
    const std::string& cmd = words[0];
    int rc = 0;
    if (cmd == "add") {
        rc = m_api.add_nodes(m_paths, m_statuses, m_extra);
    } else if (cmd == "remove") {
        rc = m_api.remove_nodes(m_paths, m_statuses, m_extra);
    } else {
        rc = m_api.clear_leaves(m_paths, m_statuses, m_extra);
    }
    if (rc != 0) refused(cmd, rc);
}

void controller::set(std::vector<std::string>& words) {
    m_paths.clear();
    m_values.clear();
    m_flags.clear();
    for (std::size_t i = 1; i + 2 < words.size(); i += 3) {
        const std::string& name = words[i + 1];
        const std::string& text = words[i + 2];
        const data_type_t type =
            name.find('\0') == std::string::npos ? vlt_str_to_enum(name.c_str()) : DATATYPE_INVALID;
        if (type == DATATYPE_INVALID) usage("set: unknown type " + quoted(name));
        toolkit::CElement& value = m_values.emplace_back();  // no timestamp: the store stamps it
        bool ok = false;
        if (type == DATATYPE_STRING) {
            // Same check as a conversion, without copying the text twice.
            ok = toolkit::CElement::valid_string(text);
            if (ok) value.set_string(text);
        } else {
            value.set_string(text);
            ok = value.convert_type(type) == 0;
        }
        if (!ok) usage("set: " + quoted(text) + " is not a valid " + name + " value");
        m_paths.push_back(std::move(words[i]));
        m_flags.push_back(VLT_UNSET);
    }
    const int rc = m_api.set_leaves(m_paths, m_values, m_flags, m_statuses, m_extra);
    if (rc != 0) refused("set", rc);
}

void controller::get(const std::string& path) {
    toolkit::CElement value;
    const int rc = admin::get(m_api.handle, path, value);
    if (rc == VLT_ENOENT) throw failure(failure::kind::store, "get: no such leaf: " + quoted(path));
    if (rc == VLT_ECONFLICT) throw failure(failure::kind::store, "get: " + quoted(path) + " is a node");
    if (rc != 0) refused("get", rc);
    value.to_string(m_text);
    m_text.push_back('\n');
    write(m_text);
}

void controller::dump(const std::vector<std::string>& words) {
    bool times = false;
    std::string path = "/";
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "--times")
            times = true;
        else
            path = words[i];
    }
    std::vector<admin::dump_entry> entries;
    const int rc = admin::dump(m_api.handle, path, entries);
    if (rc == VLT_ENOENT) throw failure(failure::kind::store, "dump: no such path: " + quoted(path));
    if (rc != 0) refused("dump", rc);
    for (const auto& e : entries) {
        m_text.clear();
        append_dump_line(m_text, e.is_leaf, e.path, e.value, times);
        m_text.push_back('\n');
        write(m_text);
    }
}

void controller::status() {
    std::vector<std::pair<std::string, int64_t>> values;
    const int rc = admin::status(m_api.handle, values);
    if (rc != 0) refused("status", rc);
    for (const auto& [name, value] : values) {
        m_text.assign(name);
        m_text.push_back(' ');
        m_text.append(std::to_string(value));
        m_text.push_back('\n');
        write(m_text);
    }
}

void controller::failpoint(const std::vector<std::string>& words) {
    int rc = 0;
    if (words.size() == 2) {
        rc = admin::failpoint_clear(m_api.handle);
    } else {
        int32_t code = 0;
        int64_t count = 1;
        parse_number(words[2], code);
        if (words.size() == 4) parse_count(words[3], count);
        rc = admin::failpoint_set(m_api.handle, words[1], code, count);
    }
    if (rc != 0) refused("failpoint", rc);
}

void controller::write(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), m_out) != text.size()) {
        throw failure(failure::kind::store,
                      std::string("cannot write standard output: ") + std::strerror(errno));
    }
}

}  // namespace velt::ctl
