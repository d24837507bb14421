#include "c/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
// channel's descriptors (all invalid on failure).
bool receive_channel(int sock, wire::frame_decoder& in, std::array<unique_fd, wire::channel_fds>& fds) {
    if (!wait_readable(sock, hello_timeout_ms)) return false;
    const size_t want = wire::frame_header + wire::max_hello_response;
    ssize_t n = wire::recv_with_fds(sock, in.space(want), want, fds);
    if (n <= 0) return false;
    in.commit(size_t(n));
    return bool(fds[0]);
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
    std::array<unique_fd, wire::channel_fds> fds;
    std::string_view payload;
    if (!receive_channel(sock.get(), in, fds) || !read_frame(sock.get(), in, payload)) return nullptr;
    wire::reader r(payload);
    auto code = r.u8();
    int32_t status = r.i32();
    uint16_t version = r.u16();
    if (!r.at_end() || code != uint8_t(wire::msg::hello) || status != 0 || version != wire::protocol_version)
        return nullptr;
    auto notes = std::make_unique<channel>(std::move(fds));
    if (!notes->ok()) return nullptr;
    return std::make_unique<connection>(std::move(sock), std::move(notes));
}

void connection::mark_lost() {
    if (m_lost.exchange(true)) return;
    // Leaves the descriptors open (their numbers stay reserved for the
    // handle) but makes the channel report end of file, so that the
    // notification descriptor polls readable from now on.
    shutdown(m_sock.get(), SHUT_RDWR);
    m_notes->close();
}

int connection::call(const std::string& frame, std::string_view& payload) {
    if (m_lost) return VLT_ELOST;
    if (!write_all(m_sock.get(), frame.data(), frame.size())) {
        mark_lost();
        return VLT_ELOST;
    }
    return receive(payload);
}

int connection::receive(std::string_view& payload) {
    if (m_lost) return VLT_ELOST;
    if (!read_frame(m_sock.get(), m_in, payload)) {
        mark_lost();
        return VLT_ELOST;
    }
    return 0;
}

int connection::take_batch(std::string_view& payload) {
    if (m_lost) return VLT_ELOST;
    int32_t failure = 0;
    switch (m_notes->take(payload, failure)) {
        case channel::taken::batch: return 0;
        case channel::taken::failure: return failure;
        case channel::taken::lost: break;
    }
    mark_lost();
    return VLT_ELOST;
}

}  // namespace velt::client
