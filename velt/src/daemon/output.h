// Bytes waiting to be written to a socket: a connection's answers (with the
// descriptors that ride along with the first of them), or the batches of a
// notification channel.
#ifndef VELTD_OUTPUT_H
#define VELTD_OUTPUT_H

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/channel.h"
#include "unique_fd.h"

namespace veltd {

using velt::unique_fd;
// Bytes shared by the queues of several subscribers (one published batch).
using shared_text = std::shared_ptr<const std::string>;

class output_queue {
public:
    // Queues a frame begun with wire::begin_frame (or wire::response) and
    // fills in its length.
    void send(std::string frame);
    // Queues a batch for a notification channel (a u32 length, then
    // `body`). A small body is copied into the bytes already queued, a large
    // one shared, so that many small batches cost their bytes and one write.
    void send_batch(const shared_text& body);
    // Hands the channel's descriptors over (SCM_RIGHTS) with the next bytes
    // written.
    void pass(std::array<unique_fd, velt::wire::channel_fds> fds) { m_passing = std::move(fds); }

    // Writes as much as `sock` takes; false when the client is gone.
    bool flush(int sock);

    bool empty() const { return m_chunks.empty(); }
    // Bytes queued and not yet written.
    size_t bytes() const { return m_bytes; }
    // When output last drained or began (ms, monotonic).
    int64_t progress() const { return m_progress; }

private:
    // Owned bytes, or a batch shared with other subscribers.
    struct chunk {
        std::string own;
        shared_text shared;
        size_t offset = 0;
        std::string_view data() const { return shared ? std::string_view(*shared) : own; }
    };

    void push(chunk c);
    bool passing() const { return bool(m_passing[0]); }
    ssize_t write_passing(int sock);
    ssize_t write_gathered(int sock);

    std::deque<chunk> m_chunks;
    size_t m_bytes = 0;
    int64_t m_progress = 0;
    std::array<unique_fd, velt::wire::channel_fds> m_passing;
};

}  // namespace veltd

#endif
