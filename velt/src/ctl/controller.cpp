#include "ctl/controller.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <velt_admin.h>

#include "ctl/format.h"
#include "ctl/words.h"
#include "protocol/messages.h"
#include "stop_signals.h"
#include "unique_fd.h"

namespace velt::ctl {

const char* const usage_text =
    "usage: veltctl COMMAND [ARGS...]\n"
    "  ping\n"
    "  add PATH...\n"
    "  remove PATH...\n"
    "  set PATH TYPE VALUE [PATH TYPE VALUE]...\n"
    "  clear PATH...\n"
    "  get PATH\n"
    "  status\n"
    "  watch [PATH]\n"
    "  dump [--times] [PATH]\n"
    "  batch [FILE]\n"
    "  failpoint OP CODE [COUNT|always]   (OP: add_nodes remove_nodes set_leaves\n"
    "                                     clear_leaves register events_get)\n"
    "  failpoint clear\n";

namespace {

// A batch line may hold a request of the store's largest size, quoted.
constexpr std::size_t max_line = 256u << 20;
constexpr std::size_t read_chunk = 1u << 20;

[[noreturn]] void usage(const std::string& message) {
    throw failure(failure::kind::usage, message);
}

[[noreturn]] void refused(const std::string& command, int code) {
    throw failure(failure::kind::store, command + " failed: " + describe_code(code));
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    append_escaped(out, text);
    out.push_back('\'');
    return out;
}

template <typename T>
bool parse_number(const std::string& text, T& v) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    return !text.empty() && r.ec == std::errc{} && r.ptr == end;
}

bool parse_count(const std::string& text, int64_t& count) {
    if (text == "always") {
        count = -1;
        return true;
    }
    return parse_number(text, count) && count > 0;
}

}  // namespace

void check_usage(const std::vector<std::string>& words, bool in_batch) {
    if (words.empty()) usage("no command");
    const std::string& cmd = words[0];
    const std::size_t nargs = words.size() - 1;
    if (cmd == "ping" || cmd == "status") {
        if (nargs != 0) usage(cmd + " takes no arguments");
    } else if (cmd == "add" || cmd == "remove" || cmd == "clear") {
        if (nargs == 0) usage(cmd + " needs at least one PATH");
    } else if (cmd == "set") {
        if (nargs == 0 || nargs % 3 != 0) usage("set needs PATH TYPE VALUE triples");
    } else if (cmd == "get") {
        if (nargs != 1) usage("get needs one PATH");
    } else if (cmd == "dump") {
        bool times = false, path = false;
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (words[i] == "--times" && !times) {
                times = true;
            } else if (!words[i].empty() && words[i][0] == '-') {
                usage("dump: unknown option " + quoted(words[i]));
            } else if (!path) {
                path = true;
            } else {
                usage("dump takes at most one PATH");
            }
        }
    } else if (cmd == "watch" || cmd == "batch") {
        if (in_batch) usage(cmd + " cannot be used in a batch");
        if (nargs > 1) usage(cmd + (cmd == "watch" ? " takes at most one PATH" : " takes at most one FILE"));
    } else if (cmd == "failpoint") {
        if (nargs == 1 && words[1] == "clear") return;
        if (nargs != 2 && nargs != 3) usage("failpoint needs OP CODE [COUNT|always] or clear");
        if (!wire::is_failpoint_op(words[1])) usage("failpoint: unknown operation " + quoted(words[1]));
        int32_t code = 0;
        if (!parse_number(words[2], code))
            usage("failpoint: CODE must be an integer, not " + quoted(words[2]));
        int64_t count = 0;
        if (nargs == 3 && !parse_count(words[3], count)) {
            usage("failpoint: COUNT must be a positive integer or always, not " + quoted(words[3]));
        }
    } else {
        usage("unknown command " + quoted(cmd));
    }
}

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
        m_text.assign(e.is_leaf ? "leaf " : "node ");
        append_escaped(m_text, e.path);
        if (e.is_leaf) {
            m_text.push_back(' ');
            append_typed_value(m_text, e.value);
            if (times) append_time(m_text, e.value.timestamp());
        }
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

void controller::batch(int fd, const std::string& name) {
    const std::string where = name.empty() ? std::string() : escaped(name) + ": ";
    std::string buf;
    std::vector<std::string> words;
    std::size_t start = 0;  // first byte of the current request
    long line_no = 1;       // the line it begins on
    bool eof = false;
    bool fresh = false;  // input arrived since the last attempt to split
    for (;;) {
        const std::string_view rest(buf.data() + start, buf.size() - start);
        split_result r;
        // A request can only end at a line feed or at the end of the input.
        if (eof || fresh) r = split_words(rest, eof, words);
        if (!r.complete) {
            if (eof)
                throw failure(failure::kind::usage,
                              where + "line " + std::to_string(line_no) + ": " + r.error);
            if (rest.size() > max_line) {
                throw failure(failure::kind::usage,
                              where + "line " + std::to_string(line_no) + ": request too long");
            }
            buf.erase(0, start);
            start = 0;
            // Once a request has grown long, read at least as much again as
            // it holds before scanning it anew, so that it is scanned a
            // bounded number of times; short ones are taken as they come.
            const std::size_t held = buf.size();
            const std::size_t want = std::max(read_chunk, held);
            const std::size_t need = held >= read_chunk ? held : 1;
            buf.resize(held + want);
            std::size_t got = 0;
            while (got < need && !eof) {
                const ssize_t n = ::read(fd, buf.data() + held + got, want - got);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    const int err = errno;
                    buf.resize(held);
                    throw failure(failure::kind::store,
                                  (name.empty() ? std::string("standard input") : escaped(name)) +
                                      ": cannot read: " + std::strerror(err));
                }
                got += static_cast<std::size_t>(n);
                eof = n == 0;
            }
            buf.resize(held + got);
            fresh = std::memchr(buf.data() + held, '\n', got) != nullptr;
            continue;
        }
        if (r.used == 0) return;  // the end of the input

        const long first_line = line_no;
        line_no +=
            static_cast<long>(std::count(rest.begin(), rest.begin() + static_cast<long>(r.used), '\n'));
        start += r.used;
        if (words.empty()) continue;
        try {
            check_usage(words, true);
            run(words);
        } catch (const failure& f) {
            throw failure(f.which(), where + "line " + std::to_string(first_line) + ": " + f.what());
        }
    }
}

void controller::print_batch(long number, const std::vector<toolkit::CEvent>& events) {
    m_text.assign("batch ");
    m_text.append(std::to_string(number));
    m_text.push_back('\n');
    for (const auto& ev : events) {
        m_text.append("  ");
        m_text.append(cmd_name(ev.cmd));
        m_text.push_back(' ');
        append_escaped(m_text, ev.path);
        if (ev.cmd == CMD_SET_LEAF) {
            m_text.push_back(' ');
            append_typed_value(m_text, ev.value);
        }
        append_time(m_text, ev.value.timestamp());
        m_text.push_back('\n');
    }
    write(m_text);
    if (std::fflush(m_out) != 0) {
        throw failure(failure::kind::store,
                      std::string("cannot write standard output: ") + std::strerror(errno));
    }
}

int controller::watch(const std::string& path) {
    // Take the stop signals through a descriptor, so that one poll waits for
    // them and for the store alike. Blocked before subscribing: none is lost.
    const sigset_t stop = stop_signals();
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) {
        throw failure(failure::kind::store, std::string("watch: sigprocmask: ") + std::strerror(errno));
    }
    unique_fd sig(signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!sig) throw failure(failure::kind::store, std::string("watch: signalfd: ") + std::strerror(errno));

    api_status_t status = 0;
    const int rc = m_api.event_register(path, EVENT_CHANGE, false, status);
    if (rc != 0) throw failure(failure::kind::store, "watch: subscription failed: " + describe_code(rc));
    const int store_fd = vlt_get_fd(m_api.handle);
    if (store_fd < 0) throw failure(failure::kind::store, "watch: connection lost");

    std::vector<toolkit::CEvent> events;
    long number = 0;
    for (;;) {
        pollfd fds[2] = {{sig.get(), POLLIN, 0}, {store_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw failure(failure::kind::store, std::string("watch: poll: ") + std::strerror(errno));
        }
        if (fds[0].revents != 0) return 0;
        if (fds[1].revents == 0) continue;
        const int n = m_api.events_get(events);
        // A failpoint may fail a fetch with the very code of a lost
        // connection; only a store that no longer answers ends the watch.
        if (n == VLT_ELOST && admin::ping(m_api.handle) != 0)
            throw failure(failure::kind::store, "watch: connection lost");
        if (n < 0) {
            // An injected fetch failure; the subscription goes on.
            std::fprintf(stderr, "veltctl: watch: fetching events failed: %s\n", describe_code(n).c_str());
            continue;
        }
        print_batch(++number, events);
    }
}

}  // namespace velt::ctl
