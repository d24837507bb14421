// veltd's event loop: accepts clients, reads their requests, and dispatches
// them to the handlers.
#ifndef VELTD_SERVER_H
#define VELTD_SERVER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daemon/client.h"
#include "daemon/failpoints.h"
#include "daemon/tree.h"
#include "protocol/wire.h"
#include "unique_fd.h"

namespace veltd {

// A subscriber with more than this queued beyond what its channel's socket
// holds is cut off.
inline constexpr size_t max_pending_bytes = size_t(64) << 20;
// New requests of a client wait while this much of its output is unsent.
inline constexpr size_t output_pause = size_t(1) << 20;
// How long a client may leave its answers unread or a request half sent.
inline constexpr int64_t default_stall_ms = 30000;
// Connections served at once (fewer when descriptors are scarce); more are
// closed on arrival.
inline constexpr size_t max_clients = 1000;

class server {
public:
    // Takes a listening, non-blocking socket; stops when `stop_fd` turns
    // readable (a signalfd). A client that leaves an answer unread, or a
    // request half sent, for more than stall_ms is dropped (0: never).
    server(unique_fd listener, int stop_fd, int64_t stall_ms = default_stall_ms);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    // Runs until stopped; returns 0, or 1 after a fatal error.
    int run();

private:
    // The loop and accept (server.cpp).
    void accept_clients();
    bool add_client(unique_fd sock);
    bool open_channel(client& c);
    void on_client(uint64_t id, uint32_t events);
    void on_channel(uint64_t id, uint32_t events);
    void drop(client& c);
    void drop_marked();
    void drop_stalled();
    bool read_input(client& c);
    void process_input(client& c);
    void update_events(client& c);
    // Has epoll report (or stop reporting) when a client's channel takes
    // more batches.
    void watch_channel(client& c, bool out);
    // Writes the batches just published to channels that were idle.
    void flush_channels();

    // Request handlers (handlers.cpp); false on a malformed request.
    bool handle(client& c, std::string_view payload);
    bool on_hello(client& c, velt::wire::reader& r);
    bool on_paths(client& c, velt::wire::msg code, velt::wire::reader& r);
    bool on_set_leaves(client& c, velt::wire::reader& r);
    bool on_register(client& c, velt::wire::reader& r);
    bool on_get(client& c, velt::wire::reader& r);
    bool on_dump(client& c, velt::wire::reader& r);
    bool on_status(client& c);
    void reply_statuses(client& c, velt::wire::msg code, int32_t result,
                        const std::vector<int32_t>& statuses);

    // Failpoints (failpoints.cpp).
    bool on_failpoint_set(client& c, velt::wire::reader& r);
    bool on_failpoint_clear(client& c);

    // Sends a request's events to the subscribers that see them
    // (publish.cpp).
    void publish(batch& b);

    unique_fd m_listener;
    int m_stop_fd;
    unique_fd m_epoll;
    tree m_tree;
    std::map<uint64_t, std::unique_ptr<client>> m_clients;
    std::vector<uint64_t> m_marked;     // clients to drop after the current event
    std::vector<uint64_t> m_unflushed;  // idle channels given batches since
    failpoints m_failpoints;
    uint64_t m_next_id = 1;
    size_t m_max_clients = max_clients;
    int64_t m_stall_ms;
    unique_fd m_spare;  // given up to accept a client when descriptors run out
};

}  // namespace veltd

#endif
