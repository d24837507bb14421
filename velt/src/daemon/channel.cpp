#include "daemon/channel.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

namespace veltd {

namespace wire = velt::wire;

namespace {

// The shared state: a sealed memfd of one page, mapped here. Its descriptor
// goes to the client; the mapping outlives it.
wire::channel_state* map_state(unique_fd& memfd) {
    memfd.reset(memfd_create("velt-channel", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memfd || ftruncate(memfd.get(), wire::channel_state_size) != 0 ||
        fcntl(memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
        return nullptr;
    void* p = mmap(nullptr, wire::channel_state_size, PROT_READ | PROT_WRITE, MAP_SHARED, memfd.get(), 0);
    if (p == MAP_FAILED) return nullptr;
    return new (p) wire::channel_state{};
}

}  // namespace

channel::~channel() {
    if (!m_state) return;
    // Whatever the socket still holds is not to be taken any more.
    m_state->closed.store(1, std::memory_order_release);
    munmap(m_state, wire::channel_state_size);
}

bool channel::open(std::array<unique_fd, wire::channel_fds>& theirs) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    m_sock.reset(pair[0]);
    theirs[wire::fd_batches].reset(pair[1]);
    fcntl(m_sock.get(), F_SETFL, fcntl(m_sock.get(), F_GETFL) | O_NONBLOCK);
    shutdown(m_sock.get(), SHUT_RD);
    // Room for as many batches as the system allows, so that the client
    // can take more of them before the daemon must refill the socket.
    int size = 1 << 22;
    setsockopt(m_sock.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);

    m_failure.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_failure) return false;
    theirs[wire::fd_failure].reset(fcntl(m_failure.get(), F_DUPFD_CLOEXEC, 0));
    m_state = map_state(theirs[wire::fd_state]);
    return theirs[wire::fd_failure] && m_state;
}

void channel::broke() {
    m_sock.reset();
    m_queue = output_queue();
}

void channel::push(const shared_text& batch) {
    ++m_sent;
    if (m_sock) m_queue.send_batch(batch);
}

bool channel::flush() {
    return !m_sock || m_queue.flush(m_sock.get());
}

int64_t channel::pending() const {
    const uint64_t taken = m_state ? m_state->taken.load(std::memory_order_acquire) : 0;
    return taken < m_sent ? int64_t(m_sent - taken) : 0;
}

void channel::fail(int32_t code, int64_t count) {
    m_state->fail_code.store(code, std::memory_order_relaxed);
    m_state->fail_left.store(count, std::memory_order_release);
    eventfd_write(m_failure.get(), 1);
}

void channel::clear_fail() {
    m_state->fail_left.store(0, std::memory_order_release);
    eventfd_t ignored = 0;
    eventfd_read(m_failure.get(), &ignored);
}

}  // namespace veltd
