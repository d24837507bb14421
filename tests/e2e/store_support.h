// Helpers for the store's own tests: a private veltd reached in process, and
// a client connection with short-hand requests.
#ifndef STORE_SUPPORT_H
#define STORE_SUPPORT_H

#include <gtest/gtest.h>
#include <poll.h>
#include <velt++.h>
#include <velt_admin.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace store_test {

using strings = std::vector<std::string>;

// A private veltd; VELT_SOCKET points this process at it. Ready once a
// connection succeeds (this does not rely on veltctl).
class store_daemon {
public:
    explicit store_daemon(strings extra = {}) : m_socket(m_dir.file("velt.sock")), m_extra(extra) {
        start();
    }
    ~store_daemon() { stop(); }

    void start() {
        strings argv{VELTD_BIN, "--socket", m_socket};
        argv.insert(argv.end(), m_extra.begin(), m_extra.end());
        m_proc = std::make_unique<harness::process>(argv);
        setenv("VELT_SOCKET", m_socket.c_str(), 1);
        bool up = harness::wait_until([] {
            vlt_handle_t h = vlt_init();
            vlt_close(h);
            return h != 0;
        });
        if (!up) ADD_FAILURE() << "veltd did not come up: " << m_proc->err();
    }
    int stop(int sig = SIGTERM) {
        if (!m_proc || !m_proc->running()) return -1;
        m_proc->signal(sig);
        return m_proc->wait(10000);
    }
    harness::process& proc() { return *m_proc; }
    const std::string& socket() const { return m_socket; }
    const harness::temp_dir& dir() const { return m_dir; }

private:
    harness::temp_dir m_dir;
    std::string m_socket;
    strings m_extra;
    std::unique_ptr<harness::process> m_proc;
};

inline toolkit::CElement int32(int32_t v, time_t sec = -1, suseconds_t usec = 0) {
    toolkit::CElement e;
    e.set_int32(v);
    e.timestamp() = timeval{sec, usec};
    return e;
}

inline toolkit::CElement text(const std::string& s) {
    toolkit::CElement e;
    e.set_string(s);
    return e;
}

// One connection with short-hand requests.
class client {
public:
    client() { api.handle = vlt_init(); }
    bool ok() const { return api.handle != 0; }

    int add(const strings& paths) { return api.add_nodes(paths, statuses, ""); }
    int remove(const strings& paths) { return api.remove_nodes(paths, statuses, ""); }
    int clear(const strings& paths) { return api.clear_leaves(paths, statuses, ""); }
    int set(const strings& paths, const std::vector<toolkit::CElement>& values) {
        std::vector<vlt_tribool_t> flags(paths.size(), VLT_UNSET);
        return api.set_leaves(paths, values, flags, statuses, "");
    }
    int set(const std::string& path, int32_t v) { return set({path}, {int32(v)}); }
    int subscribe(const std::string& path = "/") {
        api_status_t st = -7;
        int rc = api.event_register(path, EVENT_CHANGE, false, st);
        last_register_status = st;
        return rc;
    }
    int fd() const { return vlt_get_fd(api.handle); }
    // True when the notification descriptor polls readable within timeout_ms.
    bool readable(int timeout_ms = 0) const {
        pollfd p{fd(), POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 1;
    }
    // Takes one batch; returns it as "CMD path" lines.
    int get(std::vector<toolkit::CEvent>& events) { return api.events_get(events); }
    strings batch() {
        std::vector<toolkit::CEvent> events;
        int n = get(events);
        EXPECT_GT(n, 0);
        strings out;
        for (const auto& e : events) out.push_back(cmd_name(e.cmd) + " " + e.path);
        return out;
    }
    static std::string cmd_name(api_cmd_t cmd) {
        switch (cmd) {
        case CMD_ADD_NODE: return "add";
        case CMD_REMOVE_NODE: return "remove";
        case CMD_SET_LEAF: return "set";
        case CMD_CLEAR_LEAF: return "clear";
        }
        return "?";
    }
    // The tree as "node PATH" / "leaf PATH TEXT" lines.
    strings dump(const std::string& path = "/") {
        std::vector<velt::admin::dump_entry> entries;
        EXPECT_EQ(velt::admin::dump(api.handle, path, entries), 0);
        strings out;
        for (const auto& e : entries)
            out.push_back(e.is_leaf ? "leaf " + e.path + " " + e.value.to_string()
                                    : "node " + e.path);
        return out;
    }
    int64_t status(const std::string& name) {
        std::vector<std::pair<std::string, int64_t>> rows;
        EXPECT_EQ(velt::admin::status(api.handle, rows), 0);
        for (const auto& [k, v] : rows)
            if (k == name) return v;
        return -1;
    }

    toolkit::CVelt api;
    std::vector<api_status_t> statuses;
    api_status_t last_register_status = -7;
};

}  // namespace store_test

#endif
