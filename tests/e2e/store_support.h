// Helpers for the store's own tests: a private veltd reached in process, and
// a client connection with short-hand requests.
#ifndef STORE_SUPPORT_H
#define STORE_SUPPORT_H

#include <gtest/gtest.h>
#include <poll.h>
#include <velt++.h>
#include <velt_admin.h>

#include <string>
#include <vector>

#include "harness.h"

namespace store_test {

using strings = std::vector<std::string>;

// A private veltd that this process's own clients reach.
struct store_daemon : harness::private_store {
    explicit store_daemon(strings extra = {}) : private_store(std::move(extra)) { use_in_process(); }
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
    // Any of the four requests; set_leaves gets every flag value in turn and
    // a trailing string, neither of which may matter.
    int request(api_cmd_t cmd, const strings& paths, const std::vector<toolkit::CElement>& values = {}) {
        if (cmd == CMD_ADD_NODE) return add(paths);
        if (cmd == CMD_REMOVE_NODE) return remove(paths);
        if (cmd == CMD_CLEAR_LEAF) return clear(paths);
        std::vector<vlt_tribool_t> flags;
        for (size_t i = 0; i < paths.size(); ++i) flags.push_back(vlt_tribool_t(i % 3));
        return api.set_leaves(paths, values, flags, statuses, "whatever");
    }
    int subscribe(const std::string& path = "/") {
        api_status_t st = -7;
        int rc = api.event_register(path, EVENT_CHANGE, false, st);
        last_register_status = st;
        return rc;
    }
    // True when the notification descriptor polls readable within timeout_ms.
    bool readable(int timeout_ms = 0) const {
        pollfd p{vlt_get_fd(api.handle), POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 1;
    }
    int get(std::vector<toolkit::CEvent>& events) { return api.events_get(events); }
    // Takes one batch; returns it as "CMD path" lines.
    strings batch() {
        std::vector<toolkit::CEvent> events;
        EXPECT_GT(get(events), 0);
        static const char* const names[] = {"?", "add", "remove", "?", "set", "clear"};
        strings out;
        for (const auto& e : events) out.push_back(std::string(names[e.cmd <= 5 ? e.cmd : 0]) + " " + e.path);
        return out;
    }
    // The tree as "node PATH" / "leaf PATH TEXT" lines.
    strings dump(const std::string& path = "/") {
        std::vector<velt::admin::dump_entry> entries;
        EXPECT_EQ(velt::admin::dump(api.handle, path, entries), 0);
        strings out;
        for (const auto& e : entries)
            out.push_back(e.is_leaf ? "leaf " + e.path + " " + e.value.to_string() : "node " + e.path);
        return out;
    }
    long status(const std::string& name) const { return kit::status_value(api.handle, name); }

    toolkit::CVelt api;
    std::vector<api_status_t> statuses;
    api_status_t last_register_status = -7;
};

}  // namespace store_test

#endif
