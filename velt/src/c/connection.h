// Client side of a connection to the store: the request socket, the
// notification channel, and the registry that maps vlt_handle_t values to
// connections.
#ifndef VELT_CONNECTION_H
#define VELT_CONNECTION_H

#include <velt.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "c/channel.h"
#include "protocol/wire.h"
#include "unique_fd.h"

namespace velt::client {

class connection {
public:
    // Connects to `socket_path` and exchanges hellos; nullptr when nothing
    // answers there or the store speaks another protocol version.
    static std::unique_ptr<connection> open(const std::string& socket_path);

    connection(unique_fd sock, std::unique_ptr<channel> notes)
        : m_sock(std::move(sock)), m_notes(std::move(notes)) {}
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Sends one framed request and receives the response payload (message
    // code included), which stays valid until the next call. 0 on success,
    // VLT_ELOST when the connection is gone (it then stays lost).
    int call(const std::string& frame, std::string_view& payload);
    // Receives the next response payload of a request answered in several
    // responses (a dump's pages), as call() does.
    int receive(std::string_view& payload);
    // Waits for the next batch and reads its payload (a u32 count and the
    // events) into `payload`, valid until the next call: 0, a failpoint's
    // code, or VLT_ELOST. Takes no lock: one thread at a time takes batches.
    int take_batch(std::string_view& payload);

    // Gives the connection up (after a malformed response, say): every later
    // call fails and the notification descriptor turns readable.
    void mark_lost();

    int notify_fd() const { return m_notes->poll_fd(); }
    bool lost() const { return m_lost; }
    bool subscribed() const { return m_subscribed; }
    void set_subscribed() { m_subscribed = true; }
    // Serialises request/response exchanges of threads sharing a handle.
    std::mutex& mutex() { return m_mutex; }

private:
    unique_fd m_sock;
    std::unique_ptr<channel> m_notes;
    wire::frame_decoder m_in{wire::max_response};
    std::atomic<bool> m_lost = false;
    std::atomic<bool> m_subscribed = false;
    std::mutex m_mutex;
};

// The connection behind a handle, or nullptr. The shared pointer keeps it
// alive while a call runs even if another thread closes the handle.
std::shared_ptr<connection> find(vlt_handle_t handle);

}  // namespace velt::client

#endif
