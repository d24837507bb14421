#include "daemon/server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "daemon/clock.h"

namespace veltd {

namespace wire = velt::wire;

namespace {

enum tag : uint64_t { tag_client = 0, tag_channel = 1, tag_listener = 2, tag_stop = 3 };

uint64_t key(uint64_t id, tag t) {
    return id << 2 | t;
}

// Bytes read from one client per wake-up, so that one busy client cannot
// starve the others.
constexpr size_t read_budget = size_t(1) << 20;

}  // namespace

server::server(unique_fd listener, int stop_fd, int64_t stall_ms)
    : m_listener(std::move(listener)),
      m_stop_fd(stop_fd),
      m_epoll(epoll_create1(EPOLL_CLOEXEC)),
      m_stall_ms(stall_ms),
      m_spare(open("/dev/null", O_RDONLY | O_CLOEXEC)) {
    // Each client takes three descriptors; keep some for everything else, so
    // that accepting never fails for want of descriptors.
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        m_max_clients = std::min<size_t>(max_clients, lim.rlim_cur > 80 ? (lim.rlim_cur - 32) / 3 : 16);
}

server::~server() = default;

int server::run() {
    if (!m_epoll) {
        fprintf(stderr, "veltd: epoll: %s\n", strerror(errno));
        return 1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key(0, tag_listener);
    epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, m_listener.get(), &ev);
    ev.data.u64 = key(0, tag_stop);
    epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, m_stop_fd, &ev);

    // Stalled clients are looked for a few times per stall period.
    int sweep = m_stall_ms > 0 ? int(std::clamp<int64_t>(m_stall_ms / 4, 10, 1000)) : -1;
    int64_t next_sweep = monotonic_ms() + sweep;
    epoll_event events[64];
    while (true) {
        int n = epoll_wait(m_epoll.get(), events, 64, sweep);
        if (n < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "veltd: epoll_wait: %s\n", strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t k = events[i].data.u64;
            switch (tag(k & 3)) {
                case tag_stop: return 0;
                case tag_listener: accept_clients(); break;
                case tag_client: on_client(k >> 2, events[i].events); break;
                case tag_channel: on_channel(k >> 2, events[i].events); break;
            }
            flush_channels();
        }
        if (sweep > 0 && monotonic_ms() >= next_sweep) {
            drop_stalled();
            next_sweep = monotonic_ms() + sweep;
        }
        drop_marked();
    }
}

void server::accept_clients() {
    while (true) {
        int fd = accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if ((errno == EMFILE || errno == ENFILE) && m_spare) {
                // Out of descriptors: turn the waiting client away rather
                // than leave it queued (epoll would report it forever).
                m_spare.reset();
                unique_fd refused(accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
                refused.reset();
                m_spare.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
                continue;
            }
            return;
        }
        add_client(unique_fd(fd));
    }
}

// Serves a new connection, or closes it (when it comes from another user or
// when too many are served).
bool server::add_client(unique_fd sock) {
    // Only our own user or root; nothing is read from anyone else.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        (cred.uid != geteuid() && cred.uid != 0))
        return false;
    if (m_clients.size() >= m_max_clients) return false;
    auto c = std::make_unique<client>();
    c->id = m_next_id++;
    c->sock = std::move(sock);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key(c->id, tag_client);
    if (epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, c->sock.get(), &ev) != 0) return false;
    c->events = EPOLLIN;
    m_clients.emplace(c->id, std::move(c));
    return true;
}

// Makes the channel of a greeted client; its descriptors go with the hello
// answer, which must be the next thing queued.
bool server::open_channel(client& c) {
    std::array<unique_fd, wire::channel_fds> theirs;
    if (!c.chan.open(theirs)) return false;
    epoll_event ev{};
    ev.data.u64 = key(c.id, tag_channel);
    if (epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, c.chan.fd(), &ev) != 0) return false;
    c.out.pass(std::move(theirs));
    return true;
}

void server::drop(client& c) {
    if (c.dead) return;
    c.dead = true;
    m_marked.push_back(c.id);
}

void server::drop_marked() {
    for (uint64_t id : m_marked) {
        auto it = m_clients.find(id);
        if (it == m_clients.end()) continue;
        epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, it->second->sock.get(), nullptr);
        if (it->second->chan.is_open())
            epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, it->second->chan.fd(), nullptr);
        m_clients.erase(it);
    }
    m_marked.clear();
}

void server::drop_stalled() {
    int64_t now = monotonic_ms();
    for (auto& [id, cp] : m_clients) {
        client& c = *cp;
        // Waiting for the client to read what it asked for, or for the rest
        // of a request it began (while it waits for nothing from us).
        bool reading = !c.out.empty() && now - c.out.progress() > m_stall_ms;
        bool writing = c.out.empty() && c.in.frames.buffered() > 0 && now - c.in.progress > m_stall_ms;
        if (reading || writing) drop(c);
    }
}

void server::on_client(uint64_t id, uint32_t events) {
    auto it = m_clients.find(id);
    if (it == m_clients.end() || it->second->dead) return;
    client& c = *it->second;
    if (events & EPOLLOUT) {
        if (!c.out.flush(c.sock.get())) return drop(c);
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (!read_input(c)) return drop(c);
    }
    // Answer at once rather than after another round through epoll, and go
    // on with requests already received while the output drains.
    while (!c.dead) {
        process_input(c);
        if (c.dead || c.out.empty()) break;
        size_t before = c.out.bytes();
        if (!c.out.flush(c.sock.get())) return drop(c);
        if (c.out.bytes() >= output_pause || c.out.bytes() == before) break;
    }
    if (!c.dead) update_events(c);
}

void server::on_channel(uint64_t id, uint32_t events) {
    auto it = m_clients.find(id);
    if (it == m_clients.end() || it->second->dead) return;
    client& c = *it->second;
    if (events & (EPOLLHUP | EPOLLERR)) {
        // The client's end is gone (one that never took it, or a client that
        // gave the connection up). Its requests are still answered; as a
        // subscriber it is cut off at its next batch.
        epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, c.chan.fd(), nullptr);
        c.chan.broke();
        return;
    }
    if (!c.chan.flush()) return drop(c);
    if (c.chan.queued() == 0) watch_channel(c, false);
}

// Reads what the socket holds (within the budget) into the frame decoder.
// False when the client has gone or sent an oversized frame. At the end of
// its input (it may have only shut down its sending side) the client is
// marked `eof` and stays until its complete requests are answered.
bool server::read_input(client& c) {
    char buf[65536];
    size_t total = 0;
    while (total < read_budget) {
        // Hold at most one frame beyond what is being processed.
        if (c.in.frames.buffered() > wire::max_payload + wire::frame_header) break;
        ssize_t n = recv(c.sock.get(), buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (n == 0) {
            c.in.eof = true;
            return true;
        }
        c.in.frames.append(buf, size_t(n));
        c.in.progress = monotonic_ms();
        if (c.in.frames.failed()) return false;
        total += size_t(n);
    }
    return true;
}

void server::process_input(client& c) {
    while (!c.dead && !c.closing && c.out.bytes() < output_pause) {
        std::string_view payload;
        auto r = c.in.frames.next(payload);
        if (r == wire::frame_decoder::result::need_more) break;
        if (r == wire::frame_decoder::result::error || !handle(c, payload)) return drop(c);
    }
}

void server::update_events(client& c) {
    uint32_t want = 0;
    // Stop reading while output is backed up or a whole frame waits.
    if (!c.closing && !c.in.eof && c.out.bytes() < output_pause) want |= EPOLLIN;
    if (!c.out.empty()) want |= EPOLLOUT;
    // With the output empty every complete request has been answered; a
    // partial one left at the end of the input is discarded.
    if ((c.closing || c.in.eof) && c.out.empty()) return drop(c);
    if (want == c.events) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = key(c.id, tag_client);
    epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, c.sock.get(), &ev);
    c.events = want;
}

void server::flush_channels() {
    for (uint64_t id : m_unflushed) {
        auto it = m_clients.find(id);
        if (it == m_clients.end() || it->second->dead) continue;
        client& c = *it->second;
        if (!c.chan.flush()) {
            drop(c);
        } else if (c.chan.queued() > 0) {
            watch_channel(c, true);
        }
    }
    m_unflushed.clear();
}

void server::watch_channel(client& c, bool out) {
    if (!c.chan.is_open()) return;
    epoll_event ev{};
    ev.events = out ? uint32_t(EPOLLOUT) : 0;
    ev.data.u64 = key(c.id, tag_channel);
    epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, c.chan.fd(), &ev);
}

}  // namespace veltd
