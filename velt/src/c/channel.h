// The client's end of a connection's notification channel: the socket the
// daemon writes batches to, the failpoint eventfd, the shared state, and the
// epoll descriptor over the first two that vlt_get_fd hands out.
#ifndef VELT_CHANNEL_H
#define VELT_CHANNEL_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/channel.h"
#include "unique_fd.h"

namespace velt::client {

class channel {
public:
    // Takes the descriptors of the hello answer; nullopt-like: check ok().
    explicit channel(std::array<unique_fd, wire::channel_fds> fds);
    ~channel();
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;

    bool ok() const { return m_state != nullptr && bool(m_poll); }
    // Readable while a batch is pending, a failpoint is armed, or the
    // connection is gone.
    int poll_fd() const { return m_poll.get(); }

    // Waits for the next batch and reads it, and nothing beyond it; `payload`
    // views it (a u32 count and the events) until the next call. Or a
    // failpoint's code in `failure`; or the connection is lost (also once
    // close() was called or the daemon dropped the connection).
    enum class taken { batch, failure, lost };
    taken take(std::string_view& payload, int32_t& failure);
    // Gives the channel up: take() fails and poll_fd() turns readable.
    void close();

private:
    // A failure owed to an armed failpoint, if any.
    bool take_failure(int32_t& code);
    int read_rest(char* data, size_t len);

    unique_fd m_batches;
    unique_fd m_failure;
    unique_fd m_poll;
    wire::channel_state* m_state = nullptr;
    std::string m_buffer;  // the last batch; released after a large one
    uint32_t m_next = 0;   // the next batch's length, when announced
};

}  // namespace velt::client

#endif
