#include "c/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "c/wire.h"

namespace velt::client {

namespace {

// How long a freshly connected store may take to answer the hello.
constexpr int hello_timeout_ms = 5000;

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

uint32_t frame_length(const char* h) {
    const auto* b = reinterpret_cast<const unsigned char*>(h);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Receives the hello response, whose first bytes carry the doorbell
// descriptor. Returns the descriptor, or -1.
int receive_hello(int sock, std::string& payload) {
    if (!wait_readable(sock, hello_timeout_ms)) return -1;
    char head[wire::frame_header];
    iovec iov{head, sizeof head};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = 0;
    do n = recvmsg(sock, &m, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return -1;
    int bell = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int)))
            memcpy(&bell, CMSG_DATA(c), sizeof(int));
    auto fail = [&] {
        if (bell >= 0) close(bell);
        return -1;
    };
    if (bell < 0 || (m.msg_flags & MSG_CTRUNC)) return fail();
    if (size_t(n) < sizeof head && !read_all(sock, head + n, sizeof head - size_t(n))) return fail();
    uint32_t len = frame_length(head);
    if (len == 0 || len > 64) return fail();
    payload.resize(len);
    if (!read_all(sock, payload.data(), len)) return fail();
    return bell;
}

template <class T>
union immortal {
    T value;
    immortal() : value() {}
    ~immortal() {}
};

// Handles stay valid until vlt_close; the registry itself is never destroyed,
// so that a connection held by a static object can still be closed at exit.
struct registry {
    std::mutex mutex;
    std::unordered_map<vlt_handle_t, std::shared_ptr<connection>> map;
    vlt_handle_t next = 1;
};

registry& the_registry() {
    static immortal<registry> r;
    return r.value;
}

}  // namespace

std::string socket_path() {
    const char* env = getenv("VELT_SOCKET");
    return env && *env ? env : "/tmp/velt.sock";
}

std::unique_ptr<connection> connection::open(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return nullptr;
    memcpy(addr.sun_path, path.data(), path.size());
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return nullptr;
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(sock);
        return nullptr;
    }
    const std::string hello = wire::hello_frame();
    std::string payload;
    int bell = -1;
    if (write_all(sock, hello.data(), hello.size())) bell = receive_hello(sock, payload);
    if (bell < 0) {
        close(sock);
        return nullptr;
    }
    auto conn = std::make_unique<connection>(sock, bell);
    wire::reader r(payload);
    auto code = r.u8();
    int32_t status = r.i32();
    uint16_t version = r.u16();
    if (!r.at_end() || code != uint8_t(wire::msg::hello) || status != 0 || version != wire::protocol_version)
        return nullptr;
    return conn;
}

connection::~connection() {
    close(m_sock);
    close(m_bell);
}

void connection::mark_lost() {
    if (m_lost.exchange(true)) return;
    // Leaves the descriptors open (their numbers stay reserved for the
    // handle) but makes the doorbell report end of file, so that it polls
    // readable from now on.
    shutdown(m_sock, SHUT_RDWR);
    shutdown(m_bell, SHUT_RDWR);
}

int connection::call(const std::string& frame, std::string& payload) {
    if (m_lost) return VLT_ELOST;
    char head[wire::frame_header];
    if (!write_all(m_sock, frame.data(), frame.size()) || !read_all(m_sock, head, sizeof head)) {
        mark_lost();
        return VLT_ELOST;
    }
    uint32_t len = frame_length(head);
    if (len == 0 || len > max_response) {
        mark_lost();
        return VLT_ELOST;
    }
    payload.resize(len);
    if (!read_all(m_sock, payload.data(), len)) {
        mark_lost();
        return VLT_ELOST;
    }
    return 0;
}

int connection::wait_bell() {
    if (m_lost) return VLT_ELOST;
    if (!wait_readable(m_bell, -1)) {
        mark_lost();
        return VLT_ELOST;
    }
    char c = 0;
    ssize_t n = 0;
    do n = recv(m_bell, &c, 1, MSG_PEEK);
    while (n < 0 && errno == EINTR);
    if (n != 1) {
        mark_lost();
        return VLT_ELOST;
    }
    return 0;
}

int connection::take_bells(uint32_t n) {
    char buf[256];
    while (n > 0) {
        size_t chunk = n < sizeof buf ? n : sizeof buf;
        if (!read_all(m_bell, buf, chunk)) {
            mark_lost();
            return VLT_ELOST;
        }
        n -= uint32_t(chunk);
    }
    return 0;
}

std::shared_ptr<connection> find(vlt_handle_t handle) {
    registry& reg = the_registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.map.find(handle);
    return it == reg.map.end() ? nullptr : it->second;
}

}  // namespace velt::client

using velt::client::connection;

extern "C" vlt_handle_t vlt_init(void) {
    std::shared_ptr<connection> conn = connection::open(velt::client::socket_path());
    if (!conn) return 0;
    auto& reg = velt::client::the_registry();
    std::lock_guard lock(reg.mutex);
    vlt_handle_t h = reg.next++;
    reg.map.emplace(h, std::move(conn));
    return h;
}

extern "C" void vlt_close(vlt_handle_t handle) {
    std::shared_ptr<connection> conn;
    auto& reg = velt::client::the_registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.map.find(handle);
    if (it == reg.map.end()) return;
    conn = std::move(it->second);
    reg.map.erase(it);
    // Wakes any other thread still waiting on this connection.
    conn->mark_lost();
}

extern "C" int vlt_get_fd(vlt_handle_t handle) {
    auto conn = velt::client::find(handle);
    return conn ? conn->bell_fd() : -1;
}
