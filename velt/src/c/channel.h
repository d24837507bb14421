// The client's end of a connection's notification channel: the socket the
// daemon writes batches to, the failpoint eventfd, the shared state, and the
// epoll descriptor that vlt_get_fd hands out.
//
// Batches are read ahead, many per call when the client is behind. The
// epoll descriptor watches the socket, the failpoint eventfd and an eventfd
// of our own that is readable while a whole batch waits in the read-ahead
// buffer, so that it polls readable exactly while a batch is pending.
#ifndef VELT_CHANNEL_H
#define VELT_CHANNEL_H

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/channel.h"
#include "unique_fd.h"

namespace velt::client {

class channel {
public:
    // Takes the descriptors of the hello answer; check ok().
    explicit channel(std::array<unique_fd, wire::channel_fds> fds);
    ~channel();
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;

    bool ok() const { return m_state != nullptr && bool(m_poll); }
    // Readable while a batch is pending, a failpoint is armed, or the
    // connection is gone.
    int poll_fd() const { return m_poll.get(); }

    // Waits for the next batch; `payload` views it (a u32 count and the
    // events) until the next call. Or a failpoint's code in `failure`; or
    // the connection is lost (also once close() was called or the daemon
    // dropped the connection).
    enum class taken { batch, failure, lost };
    taken take(std::string_view& payload, int32_t& failure);
    // Gives the channel up: take() fails and poll_fd() turns readable.
    void close();

private:
    // A failure owed to an armed failpoint, if any.
    bool take_failure(int32_t& code);
    // The length of the whole batch at the front of the buffer, or 0.
    size_t whole_batch() const;
    // Reads what the socket holds (waiting for it when `wait`): the bytes
    // read, or -1 when the connection is lost.
    ssize_t fill(bool wait);
    // Keeps our eventfd readable exactly while a whole batch is buffered.
    void mark_ready(bool ready);

    unique_fd m_batches;
    unique_fd m_failure;
    unique_fd m_ready;  // ours: readable while a whole batch is buffered
    unique_fd m_poll;
    wire::channel_state* m_state = nullptr;
    std::vector<char> m_buf;  // read ahead: [m_pos, m_end) not yet taken
    size_t m_pos = 0;
    size_t m_end = 0;
    bool m_ready_set = false;
};

}  // namespace velt::client

#endif
