#include "c/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/descriptors.h"
#include "protocol/wire.h"

namespace velt::client {

namespace {

// How long a freshly connected store may take to answer the hello.
constexpr int hello_timeout_ms = 5000;
// Bytes asked for per read while an answer comes in.
constexpr size_t read_chunk = size_t(64) << 10;

bool write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= size_t(n);
    }
    return true;
}

bool read_all(int fd, char* data, size_t len) {
    while (len > 0) {
        ssize_t n = read(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        len -= size_t(n);
    }
    return true;
}

bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    while (true) {
        int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

// Reads from `fd` into `in` until it holds a whole frame. Answers come only
// when asked for, so whatever arrives belongs to the frame awaited.
bool read_frame(int fd, wire::frame_decoder& in, std::string_view& payload) {
    while (true) {
        switch (in.next(payload)) {
            case wire::frame_decoder::result::frame: return true;
            case wire::frame_decoder::result::error: return false;
            case wire::frame_decoder::result::need_more: break;
        }
        size_t want = std::max(in.wanted(), read_chunk);
        ssize_t n = read(fd, in.space(want), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        in.commit(size_t(n));
    }
}

// Receives the first bytes of the hello response into `in`; they carry the
// doorbell descriptor, which is returned (invalid on failure).
unique_fd receive_bell(int sock, wire::frame_decoder& in) {
    if (!wait_readable(sock, hello_timeout_ms)) return {};
    const size_t want = wire::frame_header + wire::max_hello_response;
    unique_fd bell;
    ssize_t n = wire::recv_with_fd(sock, in.space(want), want, bell);
    if (n <= 0) return {};
    in.commit(size_t(n));
    return bell;
}

}  // namespace

std::unique_ptr<connection> connection::open(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return nullptr;
    memcpy(addr.sun_path, path.data(), path.size());
    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock || connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return nullptr;
    const std::string hello = wire::hello_frame();
    if (!write_all(sock.get(), hello.data(), hello.size())) return nullptr;
    wire::frame_decoder in(wire::max_hello_response);
    unique_fd bell = receive_bell(sock.get(), in);
    std::string_view payload;
    if (!bell || !read_frame(sock.get(), in, payload)) return nullptr;
    wire::reader r(payload);
    auto code = r.u8();
    int32_t status = r.i32();
    uint16_t version = r.u16();
    if (!r.at_end() || code != uint8_t(wire::msg::hello) || status != 0 || version != wire::protocol_version)
        return nullptr;
    return std::make_unique<connection>(std::move(sock), std::move(bell));
}

void connection::mark_lost() {
    if (m_lost.exchange(true)) return;
    // Leaves the descriptors open (their numbers stay reserved for the
    // handle) but makes the doorbell report end of file, so that it polls
    // readable from now on.
    shutdown(m_sock.get(), SHUT_RDWR);
    shutdown(m_bell.get(), SHUT_RDWR);
}

int connection::call(const std::string& frame, std::string_view& payload) {
    if (m_lost) return VLT_ELOST;
    if (!write_all(m_sock.get(), frame.data(), frame.size()) || !read_frame(m_sock.get(), m_in, payload)) {
        mark_lost();
        return VLT_ELOST;
    }
    return 0;
}

int connection::wait_bell() {
    if (m_lost) return VLT_ELOST;
    if (!wait_readable(m_bell.get(), -1)) {
        mark_lost();
        return VLT_ELOST;
    }
    if (!wire::recv_bell_byte(m_bell.get(), MSG_PEEK)) {
        mark_lost();
        return VLT_ELOST;
    }
    return 0;
}

int connection::take_bells(uint32_t n) {
    char buf[256];
    while (n > 0) {
        size_t chunk = n < sizeof buf ? n : sizeof buf;
        if (!read_all(m_bell.get(), buf, chunk)) {
            mark_lost();
            return VLT_ELOST;
        }
        n -= uint32_t(chunk);
    }
    return 0;
}

}  // namespace velt::client
