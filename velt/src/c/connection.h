// Client side of a connection to the store: the request socket, the doorbell
// descriptor, and the registry that maps vlt_handle_t values to connections.
#ifndef VELT_CONNECTION_H
#define VELT_CONNECTION_H

#include <velt.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace velt::client {

// Largest response payload a client accepts (a batch of events can outgrow
// the request that caused it, by the ancestors it created).
inline constexpr size_t max_response = size_t(256) << 20;

class connection {
public:
    // Connects to `socket_path` and exchanges hellos; nullptr when nothing
    // answers there or the store speaks another protocol version.
    static std::unique_ptr<connection> open(const std::string& socket_path);

    connection(int sock, int bell) : m_sock(sock), m_bell(bell) {}
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Sends one framed request and receives the response payload (message
    // code included). 0 on success, VLT_ELOST when the connection is gone
    // (it then stays lost).
    int call(const std::string& frame, std::string& payload);
    // Blocks until the doorbell holds a byte or reports the end of the
    // connection. 0 when a byte is waiting, VLT_ELOST otherwise.
    int wait_bell();
    // Takes n doorbell bytes that the store says are there.
    int take_bells(uint32_t n);

    // Gives the connection up (after a malformed response, say): every later
    // call fails and the doorbell turns readable.
    void mark_lost();

    int bell_fd() const { return m_bell; }
    bool lost() const { return m_lost; }
    bool subscribed() const { return m_subscribed; }
    void set_subscribed() { m_subscribed = true; }
    // Serialises request/response exchanges of threads sharing a handle.
    std::mutex& mutex() { return m_mutex; }

private:
    int m_sock;
    int m_bell;
    std::atomic<bool> m_lost = false;
    std::atomic<bool> m_subscribed = false;
    std::mutex m_mutex;
};

// The socket path for this process: $VELT_SOCKET when set and not empty,
// else /tmp/velt.sock.
std::string socket_path();

// The connection behind a handle, or nullptr. The shared pointer keeps it
// alive while a call runs even if another thread closes the handle.
std::shared_ptr<connection> find(vlt_handle_t handle);

}  // namespace velt::client

#endif
