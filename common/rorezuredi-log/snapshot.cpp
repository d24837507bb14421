// snapshot: the live store's tree written as a log that rebuilds it: the
// nodes in add-node batches, then every leaf, value and timestamp, in
// set-leaf batches.
#include <ctime>

#include "commands.h"
#include "live_store.h"
#include "log_writer.h"
#include "store_state.h"

namespace logtool {

namespace {

// A batch is closed once its request would pass this many bytes: far below
// what the store accepts (64 MiB), so that replay and every subscriber of
// the store take it in stride.
constexpr size_t batch_budget = size_t(1) << 20;

// Gathers the entries of one kind into batches of one command, each written
// once its request would pass the budget.
class batch_cutter {
public:
    batch_cutter(log_writer& writer, api_cmd_t cmd, nanos start) : m_writer(writer), m_start(start) {
        m_batch.cmd = cmd;
    }
    ~batch_cutter() { flush(); }
    batch_cutter(const batch_cutter&) = delete;
    batch_cutter& operator=(const batch_cutter&) = delete;

    void add(std::string& path, toolkit::CElement& value) {
        const std::size_t bytes = request_bytes(m_batch.cmd, path, value);
        if (!m_batch.events.empty() && m_bytes + bytes > batch_budget) flush();
        event_instance_t& e = m_batch.events.emplace_back();
        e.path = std::move(path);
        e.type = value.type();
        e.value = std::move(value);
        m_bytes += bytes;
    }
    void flush() {
        if (m_batch.events.empty()) return;
        // Times increase from 0 by one nanosecond a batch.
        to_timespec(m_writer.batches(), m_batch.time);
        m_writer.write(m_batch, m_start);
        m_batch.events.clear();
        m_bytes = request_bytes(m_batch.cmd);
    }

private:
    log_writer& m_writer;
    nanos m_start;
    event_batch_t m_batch;
    std::size_t m_bytes = request_bytes(m_batch.cmd);
};

}  // namespace

int run_snapshot(const snapshot_options& o) {
    const std::vector<std::string> paths = subtree_paths(o.paths);
    toolkit::CVelt api;
    if (!connect_store(api)) return exit_refused;
    // One dump request: the tree at one moment, however many pages it takes.
    std::vector<velt::admin::dump_entry> entries;
    timespec start{};
    clock_gettime(CLOCK_REALTIME, &start);
    if (dump_subtrees(api.handle, paths, false, entries) != 0) return exit_refused;

    output_file out;
    if (!out.open(o.out)) return exit_usage;
    log_writer writer(out);
    const nanos at = to_nanos(start);
    toolkit::CElement none;
    none.set_none();
    none.timestamp() = timeval{start.tv_sec, start.tv_nsec / 1000};
    // The entries come in dump order, so every node comes before what lies
    // under it.
    long long nodes = 0, leaves = 0;
    {
        batch_cutter w(writer, CMD_ADD_NODE, at);
        for (auto& e : entries)
            if (!e.is_leaf) w.add(e.path, e.value = none), ++nodes;
    }
    {
        batch_cutter w(writer, CMD_SET_LEAF, at);
        for (auto& e : entries)
            if (e.is_leaf) w.add(e.path, e.value), ++leaves;
    }
    if (!writer.finish(at)) return exit_usage;
    std::fprintf(stderr, "snapshot: wrote %lld nodes and %lld leaves in %lld batches\n", nodes, leaves,
                 writer.batches());
    return exit_ok;
}

}  // namespace logtool
