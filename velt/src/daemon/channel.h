// A subscriber's notification channel as the daemon holds it: its end of
// the socket pair the batches are written to, the batches the socket has no
// room for yet, the failpoint eventfd and the shared state (see
// protocol/channel.h).
#ifndef VELTD_CHANNEL_H
#define VELTD_CHANNEL_H

#include <array>
#include <cstdint>

#include "daemon/output.h"
#include "protocol/channel.h"
#include "unique_fd.h"

namespace veltd {

using velt::unique_fd;

class channel {
public:
    channel() = default;
    ~channel();
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;

    // Makes a new channel; the client's three descriptors (in the order of
    // wire::channel_fd) go to `theirs`. False when the system refuses.
    bool open(std::array<unique_fd, velt::wire::channel_fds>& theirs);

    // Our end of the socket, or -1 before open() and once the client's end
    // is gone.
    int fd() const { return m_sock.get(); }
    bool is_open() const { return bool(m_sock); }
    bool broken() const { return m_state && !m_sock; }
    // The client's end closed or failed: nothing more can be delivered.
    void broke();

    // Queues a batch (a u32 count and the events); flush() writes it.
    void push(const shared_text& batch);
    // Writes queued batches the socket takes; false on a failure.
    bool flush();
    // Bytes queued that the socket has not taken yet.
    size_t queued() const { return m_queue.bytes(); }
    // Batches sent and not yet read whole by the client.
    int64_t pending() const;

    // The client's next `count` events_get calls (-1: until cleared) fail
    // with `code`, and its descriptor polls readable meanwhile.
    void fail(int32_t code, int64_t count);
    void clear_fail();

private:
    unique_fd m_sock;
    unique_fd m_failure;  // eventfd: nonzero while a failpoint is armed
    velt::wire::channel_state* m_state = nullptr;
    output_queue m_queue;
    uint64_t m_sent = 0;
};

}  // namespace veltd

#endif
