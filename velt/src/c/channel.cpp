#include "c/channel.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>

#include <velt.h>

#include "protocol/wire.h"

namespace velt::client {

namespace {

// The shared state the daemon made, mapped here; null when the descriptor
// is not a block of the expected size.
wire::channel_state* map_state(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) != wire::channel_state_size)
        return nullptr;
    void* p = mmap(nullptr, wire::channel_state_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<wire::channel_state*>(p);
}

bool watch(int epoll, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

}  // namespace

channel::channel(std::array<unique_fd, wire::channel_fds> fds)
    : m_batches(std::move(fds[wire::fd_batches])), m_failure(std::move(fds[wire::fd_failure])) {
    m_state = map_state(fds[wire::fd_state].get());
    m_poll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!m_poll || !watch(m_poll.get(), m_batches.get()) || !watch(m_poll.get(), m_failure.get()))
        m_poll.reset();
}

channel::~channel() {
    if (m_state) munmap(m_state, wire::channel_state_size);
}

void channel::close() {
    // The socket reports end of file from now on, so the epoll descriptor
    // polls readable, and a read waiting on it returns.
    shutdown(m_batches.get(), SHUT_RDWR);
}

bool channel::take_failure(int32_t& code) {
    int64_t left = m_state->fail_left.load(std::memory_order_acquire);
    while (left != 0) {
        const int64_t next = left > 0 ? left - 1 : left;
        if (!m_state->fail_left.compare_exchange_weak(left, next, std::memory_order_acq_rel)) continue;
        code = m_state->fail_code.load(std::memory_order_relaxed);
        if (next == 0) {
            // Spent: the eventfd stops polling readable, unless the daemon
            // armed a new failpoint meanwhile.
            eventfd_t ignored = 0;
            eventfd_read(m_failure.get(), &ignored);
            if (m_state->fail_left.load(std::memory_order_acquire) != 0) eventfd_write(m_failure.get(), 1);
        }
        return true;
    }
    return false;
}

// The rest of a frame whose first bytes were read: it is on its way.
int channel::read_rest(char* data, size_t len) {
    while (len > 0) {
        ssize_t n = recv(m_batches.get(), data, len, MSG_WAITALL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return VLT_ELOST;
        data += n;
        len -= size_t(n);
    }
    return 0;
}

channel::taken channel::take(std::string_view& payload, int32_t& failure) {
    // Memory stays flat: a buffer grown for a large batch is not kept.
    constexpr size_t keep = size_t(4) << 20;
    while (true) {
        if (m_state->closed.load(std::memory_order_acquire) != 0) return taken::lost;
        if (take_failure(failure)) return taken::failure;
        // The whole batch when the one before announced its length, else
        // its head alone.
        const size_t first = wire::batch_header + m_next;
        if (m_buffer.capacity() > keep && first <= keep) std::string().swap(m_buffer);
        m_buffer.resize(first);
        ssize_t n = recv(m_batches.get(), m_buffer.data(), first, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // Nothing yet: wait for a batch, a failpoint or the end.
            pollfd p{m_poll.get(), POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) return taken::lost;
            continue;
        }
        if (n <= 0 || read_rest(m_buffer.data() + n, first - size_t(n)) != 0) return taken::lost;
        const uint32_t len = wire::get_u32(m_buffer.data());
        const uint32_t next = wire::get_u32(m_buffer.data() + wire::frame_header);
        if (len < wire::min_batch_payload || len > wire::max_response || (m_next != 0 && len != m_next) ||
            next > wire::max_response)
            return taken::lost;
        if (m_next == 0) {
            m_buffer.resize(wire::batch_header + len);
            if (read_rest(m_buffer.data() + wire::batch_header, len) != 0) return taken::lost;
        }
        m_next = next;
        m_state->taken.fetch_add(1, std::memory_order_release);
        payload = std::string_view(m_buffer).substr(wire::batch_header);
        return taken::batch;
    }
}

}  // namespace velt::client
