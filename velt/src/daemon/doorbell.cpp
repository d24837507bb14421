#include "daemon/doorbell.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "protocol/descriptors.h"

namespace veltd {

namespace wire = velt::wire;

void doorbell::unring() {
    if (m_owed > 0) {
        --m_owed;
        return;
    }
    // Written already: read it back from the client's end. That end holds at
    // least this byte beyond those the answers sent tell the client to take,
    // so the doorbell goes on counting exactly the batches pending.
    // Drained by the client itself: settled later.
    if (!wire::recv_bell_byte(m_back.get(), MSG_DONTWAIT)) ++m_surplus;
}

uint32_t doorbell::settle(uint64_t n) {
    n += m_surplus;
    m_surplus = 0;
    uint64_t k = std::min(m_owed, n);
    m_owed -= k;
    return uint32_t(n - k);
}

bool doorbell::flush() {
    static const char zeros[256] = {};
    if (!m_fd) return true;
    while (m_owed > 0) {
        size_t n = std::min<uint64_t>(m_owed, sizeof zeros);
        ssize_t w = ::send(m_fd.get(), zeros, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            break;
        }
        m_owed -= uint64_t(w);
    }
    return true;
}

bool doorbell::watch_changed(bool& watch) {
    watch = m_fd && m_owed > 0;
    if (watch == m_watching) return false;
    m_watching = watch;
    return true;
}

}  // namespace veltd
