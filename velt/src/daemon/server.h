// veltd's event loop: clients, requests, subscriptions and their doorbells.
#ifndef VELTD_SERVER_H
#define VELTD_SERVER_H

#include <sys/uio.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "protocol/wire.h"
#include "daemon/tree.h"
#include "unique_fd.h"

namespace veltd {

using velt::unique_fd;

// A subscriber further behind than this is cut off.
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
    using shared_text = std::shared_ptr<const std::string>;

    // A piece of pending output: owned bytes, or a batch shared with other
    // subscribers.
    struct chunk {
        std::string own;
        shared_text shared;
        size_t offset = 0;
        std::string_view data() const { return shared ? std::string_view(*shared) : own; }
    };

    struct failpoint {
        int32_t code = 0;
        int64_t remaining = 0;  // -1: until cleared
    };

    struct client {
        uint64_t id;
        unique_fd sock;
        unique_fd bell;       // our end of the doorbell
        unique_fd bell_peer;  // the end handed over with the hello response
        unique_fd bell_back;  // our own handle on that end, to take back a byte
        velt::wire::frame_decoder in;
        std::deque<chunk> out;
        size_t out_bytes = 0;
        bool greeted = false;
        bool closing = false;      // drop once the output is flushed
        bool eof = false;          // sends no more: answer what came, then drop
        bool dead = false;         // dropped; erased after the current event
        uint32_t events = 0;       // what epoll watches on sock
        int64_t in_progress = 0;   // when input last arrived (ms, monotonic)
        int64_t out_progress = 0;  // when output last drained or began

        std::vector<std::string> subs;  // subscribed paths
        std::deque<shared_text> pending;
        size_t pending_bytes = 0;
        uint64_t bells_owed = 0;     // doorbell bytes not yet written
        uint64_t bells_surplus = 0;  // written bytes that stand for nothing
        bool bell_watch = false;     // epoll waits for the doorbell to drain
        failpoint fail;              // events_get failpoint of this subscriber
        bool fail_bell = false;      // a doorbell byte rings for it
    };

    void accept_clients();
    void on_client(uint64_t id, uint32_t events);
    void on_bell(uint64_t id, uint32_t events);
    void drop(client& c);
    void drop_marked();
    void drop_stalled();

    bool read_input(client& c);
    void process_input(client& c);
    bool flush_output(client& c);
    void update_events(client& c);
    void send(client& c, std::string frame);
    void send_shared(client& c, std::string head, shared_text body);

    void ring(client& c);
    void unring(client& c);
    uint32_t consume_bells(client& c, uint64_t n);
    bool flush_bells(client& c);

    // Request handlers; false on a malformed request.
    bool handle(client& c, std::string_view payload);
    bool on_hello(client& c, velt::wire::reader& r);
    bool on_paths(client& c, velt::wire::msg code, velt::wire::reader& r);
    bool on_set_leaves(client& c, velt::wire::reader& r);
    bool on_register(client& c, velt::wire::reader& r);
    bool on_events_get(client& c);
    bool on_get(client& c, velt::wire::reader& r);
    bool on_dump(client& c, velt::wire::reader& r);
    bool on_status(client& c);
    bool on_failpoint_set(client& c, velt::wire::reader& r);
    bool on_failpoint_clear(client& c);

    // A failpoint for `op` that fires now: its code.
    bool fire(std::string_view op, int32_t& code);
    void publish(batch& b);
    void reply_statuses(client& c, velt::wire::msg code, int32_t result,
                        const std::vector<int32_t>& statuses);

    unique_fd m_listener;
    int m_stop_fd;
    unique_fd m_epoll;
    tree m_tree;
    std::map<uint64_t, std::unique_ptr<client>> m_clients;
    std::vector<uint64_t> m_marked;  // clients to drop after the current event
    std::map<std::string, failpoint, std::less<>> m_failpoints;
    uint64_t m_next_id = 1;
    size_t m_max_clients = max_clients;
    int64_t m_stall_ms;
    unique_fd m_spare;  // given up to accept a client when descriptors run out
};

}  // namespace veltd

#endif
