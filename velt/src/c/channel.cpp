#include "c/channel.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
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
    : m_batches(std::move(fds[wire::fd_batches])),
      m_failure(std::move(fds[wire::fd_failure])),
      m_ready(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    m_state = map_state(fds[wire::fd_state].get());
    m_poll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!m_poll || !m_ready || !watch(m_poll.get(), m_batches.get()) ||
        !watch(m_poll.get(), m_failure.get()) || !watch(m_poll.get(), m_ready.get()))
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

size_t channel::whole_batch() const {
    const size_t have = m_end - m_pos;
    if (have < wire::frame_header) return 0;
    const size_t len = wire::frame_header + wire::get_u32(m_buf.data() + m_pos);
    return have >= len ? len : 0;
}

void channel::mark_ready(bool ready) {
    if (ready == m_ready_set) return;
    if (ready) {
        eventfd_write(m_ready.get(), 1);
    } else {
        eventfd_t ignored = 0;
        eventfd_read(m_ready.get(), &ignored);
    }
    m_ready_set = ready;
}

ssize_t channel::fill(bool wait) {
    // Read ahead in blocks of this size; a larger batch gets room for itself.
    constexpr size_t block = size_t(256) << 10;
    if (m_pos == m_end) {
        m_pos = m_end = 0;
        // Memory stays flat: room grown for a large batch is not kept.
        if (m_buf.size() > 16 * block) std::vector<char>().swap(m_buf);
    } else if (m_pos > 0 && m_end - m_pos < block) {
        // The start of a batch moves to the front (to a smaller buffer after
        // a large batch).
        std::vector<char> fresh;
        std::vector<char>& to = m_buf.size() > 16 * block ? fresh : m_buf;
        if (&to == &fresh) fresh.resize(2 * block);
        std::copy(m_buf.begin() + ptrdiff_t(m_pos), m_buf.begin() + ptrdiff_t(m_end), to.begin());
        if (&to == &fresh) m_buf.swap(fresh);
        m_end -= m_pos;
        m_pos = 0;
    }
    size_t want = block;
    if (m_end - m_pos >= wire::frame_header)
        want = std::max(want, wire::frame_header + wire::get_u32(m_buf.data() + m_pos) - (m_end - m_pos));
    if (m_buf.size() < m_end + want) m_buf.resize(m_end + want);
    while (true) {
        const ssize_t n = recv(m_batches.get(), m_buf.data() + m_end, want, wait ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            m_end += size_t(n);
            return n;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

channel::taken channel::take(std::string_view& payload, int32_t& failure) {
    while (true) {
        if (m_state->closed.load(std::memory_order_acquire) != 0) return taken::lost;
        if (take_failure(failure)) return taken::failure;
        const size_t have = m_end - m_pos;
        if (have >= wire::frame_header) {
            const uint32_t len = wire::get_u32(m_buf.data() + m_pos);
            if (len < wire::min_batch_payload || len > wire::max_response) return taken::lost;
            if (have - wire::frame_header >= len) {
                payload = std::string_view(m_buf.data() + m_pos + wire::frame_header, len);
                m_pos += wire::frame_header + len;
                mark_ready(whole_batch() != 0);
                m_state->taken.fetch_add(1, std::memory_order_release);
                return taken::batch;
            }
        }
        // A batch begun goes on arriving: wait for the rest of it. Else read
        // what is there, or wait for a batch, a failpoint or the end.
        const ssize_t got = fill(have > 0);
        if (got < 0) return taken::lost;
        if (got == 0) {
            pollfd p{m_poll.get(), POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) return taken::lost;
        }
    }
}

}  // namespace velt::client
