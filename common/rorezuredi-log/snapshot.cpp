// snapshot: the live store's tree written as a log that rebuilds it: the
// nodes in add-node batches, then every leaf, value and timestamp, in
// set-leaf batches.
#include <poll.h>

#include <ctime>

#include "commands.h"
#include "live_store.h"
#include "log_format.h"

namespace logtool {

namespace {

// A batch is closed once its request would pass this many bytes: far below
// what the store accepts (64 MiB), so that replay and every subscriber of
// the store take it in stride.
constexpr size_t batch_budget = size_t(1) << 20;
// Dumps retried while the store changes under them.
constexpr int dump_attempts = 3;

// What one path (and value) adds to a request as the store's protocol
// encodes it, at most.
size_t request_bytes(const std::string& path, const toolkit::CElement* value) {
    size_t n = 4 + path.size();
    if (value != nullptr) n += 1 + 16 + 4 + 16 + value->get_bytes().size() + 1;
    return n;
}

// True when a batch of changes has reached the subscription since it was
// last drained; drains it.
bool store_changed(toolkit::CVelt& api) {
    pollfd p{vlt_get_fd(api.handle), POLLIN, 0};
    bool changed = false;
    std::vector<toolkit::CEvent> events;
    while (p.fd >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
        changed = true;
        if (api.events_get(events) < 0) break;
    }
    return changed;
}

// Writes the entries of one kind as batches of one command, cut by size.
class batch_writer {
public:
    batch_writer(FILE* log, long long& batches) : m_log(log), m_batches(batches) {}
    ~batch_writer() { close(); }
    batch_writer(const batch_writer&) = delete;
    batch_writer& operator=(const batch_writer&) = delete;

    void add(api_cmd_t cmd, const std::string& path, const toolkit::CElement& value) {
        const size_t bytes = request_bytes(path, cmd == CMD_SET_LEAF ? &value : nullptr);
        if (m_open && m_bytes + bytes > batch_budget) close();
        if (!m_open) {
            // Times increase from 0 by one nanosecond a batch.
            write_batch_open(m_log, timespec{0, long(m_batches)}, action_name(cmd));
            m_open = true;
            m_bytes = 0;
        }
        write_event(m_log, cmd, path, value);
        m_bytes += bytes;
    }
    void close() {
        if (!m_open) return;
        write_batch_close(m_log);
        m_open = false;
        ++m_batches;
    }

private:
    FILE* m_log;
    long long& m_batches;
    bool m_open = false;
    size_t m_bytes = 0;
};

}  // namespace

int run_snapshot(const snapshot_options& o) {
    std::vector<std::string> paths;
    if (!subtree_paths(o.paths, paths)) return exit_usage;
    toolkit::CVelt api;
    if (!connect_store(api)) return exit_refused;
    // A subscription tells whether the store changed while the dump was
    // read (it comes in pages); such a dump is read again.
    bool watched = true;
    for (const std::string& p : paths) {
        api_status_t status = 0;
        watched = watched && api.event_register(p, EVENT_CHANGE, false, status) == 0;
    }
    std::vector<velt::admin::dump_entry> entries;
    timespec start{};
    bool settled = false;
    for (int attempt = 0; attempt < dump_attempts && !settled; ++attempt) {
        if (watched) store_changed(api);
        clock_gettime(CLOCK_REALTIME, &start);
        if (dump_subtrees(api.handle, paths, false, entries) != 0) return exit_refused;
        settled = watched && !store_changed(api);
    }
    if (!settled)
        std::fputs(
            "rorezuredi-log: warning: the store changed while it was dumped, so the snapshot may mix "
            "moments; take a capture that starts before it and combine them with state --keep-going\n",
            stderr);

    output_log out;
    if (!out.open(o.out, {})) return exit_usage;
    FILE* log = out.stream();
    write_log_head(log);
    write_start(log, start);
    toolkit::CElement none;
    none.set_none();
    none.timestamp() = timeval{start.tv_sec, start.tv_nsec / 1000};
    // The entries come in dump order, so every node comes before what lies
    // under it.
    long long batches = 0, nodes = 0, leaves = 0;
    {
        batch_writer w(log, batches);
        for (const auto& e : entries)
            if (!e.is_leaf) w.add(CMD_ADD_NODE, e.path, none), ++nodes;
    }
    {
        batch_writer w(log, batches);
        for (const auto& e : entries)
            if (e.is_leaf) w.add(CMD_SET_LEAF, e.path, e.value), ++leaves;
    }
    write_log_tail(log);
    if (!out.commit()) return exit_usage;
    std::fprintf(stderr, "snapshot: wrote %lld nodes and %lld leaves in %lld batches\n", nodes, leaves,
                 batches);
    return exit_ok;
}

}  // namespace logtool
