#include "daemon/output.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include "daemon/clock.h"
#include "protocol/descriptors.h"
#include "protocol/wire.h"

namespace veltd {

namespace wire = velt::wire;

void output_queue::push(chunk c) {
    if (m_chunks.empty()) m_progress = monotonic_ms();
    m_bytes += c.data().size();
    m_chunks.push_back(std::move(c));
}

void output_queue::send(std::string frame) {
    wire::finish_frame(frame, 0);
    push(chunk{std::move(frame), nullptr, 0});
}

void output_queue::send_batch(const shared_text& body) {
    // Copied below this size; an owned chunk grows up to the larger one.
    constexpr size_t copy_below = 4096, owned_chunk = size_t(64) << 10;
    char head[wire::frame_header];
    wire::put_u32(head, uint32_t(body->size()));
    if (body->size() >= copy_below) {
        push(chunk{std::string(head, sizeof head), nullptr, 0});
        push(chunk{{}, body, 0});
        return;
    }
    if (m_chunks.empty() || m_chunks.back().shared || m_chunks.back().own.size() >= owned_chunk)
        push(chunk{{}, nullptr, 0});
    m_chunks.back().own.append(head, sizeof head).append(*body);
    m_bytes += sizeof head + body->size();
}

// The front chunk with the descriptors to pass.
ssize_t output_queue::write_passing(int sock) {
    std::string_view d = m_chunks.front().data().substr(m_chunks.front().offset);
    std::array<int, wire::channel_fds> fds{};
    for (size_t i = 0; i < fds.size(); ++i) fds[i] = m_passing[i].get();
    ssize_t n = wire::send_with_fds(sock, d.data(), d.size(), fds);
    if (n > 0)
        for (auto& fd : m_passing) fd.reset();
    return n;
}

// Up to 64 chunks in one call.
ssize_t output_queue::write_gathered(int sock) {
    iovec iov[64];
    int cnt = 0;
    for (auto it = m_chunks.begin(); it != m_chunks.end() && cnt < 64; ++it, ++cnt) {
        std::string_view d = it->data().substr(it->offset);
        iov[cnt] = iovec{const_cast<char*>(d.data()), d.size()};
    }
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = size_t(cnt);
    return sendmsg(sock, &m, MSG_NOSIGNAL);
}

bool output_queue::flush(int sock) {
    while (!m_chunks.empty()) {
        ssize_t n = passing() ? write_passing(sock) : write_gathered(sock);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        auto left = size_t(n);
        m_bytes -= left;
        if (n > 0) m_progress = monotonic_ms();
        while (left > 0) {
            chunk& f = m_chunks.front();
            size_t rest = f.data().size() - f.offset;
            if (left < rest) {
                f.offset += left;
                break;
            }
            left -= rest;
            m_chunks.pop_front();
        }
    }
    return true;
}

}  // namespace veltd
