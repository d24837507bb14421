// The notification channel that veltd and a subscriber's libvelt share.
//
// At the hello the daemon hands the client three descriptors: its end of a
// stream socket pair on which the daemon writes every batch as it commits
// it, an eventfd that the daemon makes readable while an events_get
// failpoint is armed, and a small shared memory block (channel_state). The
// client reads one whole batch frame per events_get and nothing beyond it,
// so the socket holds data exactly while a batch is pending.
#ifndef VELT_PROTOCOL_CHANNEL_H
#define VELT_PROTOCOL_CHANNEL_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velt::wire {

// The descriptors that ride along with the hello answer, in this order.
enum channel_fd : unsigned { fd_batches = 0, fd_failure = 1, fd_state = 2, channel_fds = 3 };

// Shared between the daemon and one client. The daemon trusts nothing the
// client writes here beyond its own bookkeeping of that client.
struct channel_state {
    // Batches the client has read whole; written by the client only. The
    // daemon counts as pending the batches it sent less these.
    std::atomic<uint64_t> taken;
    // events_get calls still to fail (-1: until cleared), with fail_code;
    // set by the daemon, counted down by the client.
    std::atomic<int64_t> fail_left;
    std::atomic<int32_t> fail_code;
    // Set by the daemon when it drops the connection: every later
    // events_get fails, even with batches left in the socket.
    std::atomic<uint32_t> closed;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free &&
              std::atomic<int32_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free);

// Size of the shared block (one page; sealed against resizing).
inline constexpr size_t channel_state_size = 4096;
static_assert(sizeof(channel_state) <= channel_state_size);

// A batch on the channel: a frame (u32 length) whose payload is a u32 event
// count and the events.
inline constexpr size_t min_batch_payload = 4;

}  // namespace velt::wire

#endif
