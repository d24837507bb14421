#include "daemon/server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/codec.h"

namespace veltd {

namespace wire = velt::wire;
using wire::msg;

namespace {

enum tag : uint64_t { tag_client = 0, tag_bell = 1, tag_listener = 2, tag_stop = 3 };

uint64_t key(uint64_t id, tag t) {
    return id << 2 | t;
}

// Bytes read from one client per wake-up, so that one busy client cannot
// starve the others.
constexpr size_t read_budget = size_t(1) << 20;
// Dump responses are cut into pages of about this size.
constexpr size_t dump_page = size_t(4) << 20;

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool covers(const std::string& sub, std::string_view path) {
    if (sub == "/") return true;
    if (path.size() < sub.size() || path.compare(0, sub.size(), sub) != 0) return false;
    return path.size() == sub.size() || path[sub.size()] == '/';
}

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
    int64_t next_sweep = now_ms() + sweep;
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
                case tag_bell: on_bell(k >> 2, events[i].events); break;
            }
        }
        if (sweep > 0 && now_ms() >= next_sweep) {
            drop_stalled();
            next_sweep = now_ms() + sweep;
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
        unique_fd sock(fd);
        // Only our own user or root; nothing is read from anyone else.
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            (cred.uid != geteuid() && cred.uid != 0))
            continue;
        if (m_clients.size() >= m_max_clients) continue;
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) continue;
        unique_fd bell(pair[0]), peer(pair[1]);
        unique_fd back(fcntl(peer.get(), F_DUPFD_CLOEXEC, 0));
        if (!back) continue;
        int flags = fcntl(bell.get(), F_GETFL);
        fcntl(bell.get(), F_SETFL, flags | O_NONBLOCK);
        shutdown(bell.get(), SHUT_RD);

        auto c = std::make_unique<client>();
        c->id = m_next_id++;
        c->sock = std::move(sock);
        c->bell = std::move(bell);
        c->bell_peer = std::move(peer);
        c->bell_back = std::move(back);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = key(c->id, tag_client);
        if (epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, c->sock.get(), &ev) != 0) continue;
        c->events = EPOLLIN;
        ev.events = 0;
        ev.data.u64 = key(c->id, tag_bell);
        if (epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, c->bell.get(), &ev) != 0) {
            epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, c->sock.get(), nullptr);
            continue;
        }
        m_clients.emplace(c->id, std::move(c));
    }
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
        if (it->second->bell) epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, it->second->bell.get(), nullptr);
        m_clients.erase(it);
    }
    m_marked.clear();
}

void server::drop_stalled() {
    int64_t now = now_ms();
    for (auto& [id, cp] : m_clients) {
        client& c = *cp;
        // Waiting for the client to read what it asked for, or for the rest
        // of a request it began (while it waits for nothing from us).
        bool reading = !c.out.empty() && now - c.out_progress > m_stall_ms;
        bool writing = c.out.empty() && c.in.buffered() > 0 && now - c.in_progress > m_stall_ms;
        if (reading || writing) drop(c);
    }
}

void server::on_client(uint64_t id, uint32_t events) {
    auto it = m_clients.find(id);
    if (it == m_clients.end() || it->second->dead) return;
    client& c = *it->second;
    if (events & EPOLLOUT) {
        if (!flush_output(c)) return drop(c);
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (!read_input(c)) return drop(c);
    }
    // Answer at once rather than after another round through epoll, and go
    // on with requests already received while the output drains.
    while (!c.dead) {
        process_input(c);
        if (c.dead || c.out.empty()) break;
        size_t before = c.out_bytes;
        if (!flush_output(c)) return drop(c);
        if (c.out_bytes >= output_pause || c.out_bytes == before) break;
    }
    if (!c.dead) update_events(c);
}

void server::on_bell(uint64_t id, uint32_t events) {
    auto it = m_clients.find(id);
    if (it == m_clients.end() || it->second->dead) return;
    client& c = *it->second;
    if (events & (EPOLLHUP | EPOLLERR)) {
        // The doorbell broke (the client's end cannot close under us, since
        // bell_back holds it too). Its requests are still answered; its
        // batches are no longer rung but stay owed, settled by events_get.
        epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, c.bell.get(), nullptr);
        c.bell.reset();
        return;
    }
    if (!flush_bells(c)) drop(c);
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
        if (c.in.buffered() > wire::max_payload + wire::frame_header) break;
        ssize_t n = recv(c.sock.get(), buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (n == 0) {
            c.eof = true;
            return true;
        }
        c.in.append(buf, size_t(n));
        c.in_progress = now_ms();
        if (c.in.failed()) return false;
        total += size_t(n);
    }
    return true;
}

void server::process_input(client& c) {
    while (!c.dead && !c.closing && c.out_bytes < output_pause) {
        std::string_view payload;
        auto r = c.in.next(payload);
        if (r == wire::frame_decoder::result::need_more) break;
        if (r == wire::frame_decoder::result::error || !handle(c, payload)) return drop(c);
    }
}

void server::update_events(client& c) {
    uint32_t want = 0;
    // Stop reading while output is backed up or a whole frame waits.
    if (!c.closing && !c.eof && c.out_bytes < output_pause) want |= EPOLLIN;
    if (!c.out.empty()) want |= EPOLLOUT;
    // With the output empty every complete request has been answered; a
    // partial one left at the end of the input is discarded.
    if ((c.closing || c.eof) && c.out.empty()) return drop(c);
    if (want == c.events) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = key(c.id, tag_client);
    epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, c.sock.get(), &ev);
    c.events = want;
}

void server::send(client& c, std::string frame) {
    wire::finish_frame(frame, 0);
    if (c.out.empty()) c.out_progress = now_ms();
    c.out_bytes += frame.size();
    c.out.push_back(chunk{std::move(frame), nullptr, 0});
}

void server::send_shared(client& c, std::string head, shared_text body) {
    // The frame's length covers the body that follows the head.
    auto len = uint32_t(head.size() - wire::frame_header + body->size());
    wire::patch_u32(head, 0, len);
    if (c.out.empty()) c.out_progress = now_ms();
    c.out_bytes += head.size() + body->size();
    c.out.push_back(chunk{std::move(head), nullptr, 0});
    c.out.push_back(chunk{{}, std::move(body), 0});
}

// Writes as much output as the socket takes; false when the client is gone.
bool server::flush_output(client& c) {
    while (!c.out.empty()) {
        ssize_t n = 0;
        if (c.bell_peer) {
            // The hello response carries the client's end of the doorbell.
            std::string_view d = c.out.front().data().substr(c.out.front().offset);
            iovec iov{const_cast<char*>(d.data()), d.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
            msghdr m{};
            m.msg_iov = &iov;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            cmsghdr* cm = CMSG_FIRSTHDR(&m);
            cm->cmsg_level = SOL_SOCKET;
            cm->cmsg_type = SCM_RIGHTS;
            cm->cmsg_len = CMSG_LEN(sizeof(int));
            int fd = c.bell_peer.get();
            memcpy(CMSG_DATA(cm), &fd, sizeof fd);
            n = sendmsg(c.sock.get(), &m, MSG_NOSIGNAL);
            if (n > 0) c.bell_peer.reset();
        } else {
            iovec iov[16];
            int cnt = 0;
            for (auto it = c.out.begin(); it != c.out.end() && cnt < 16; ++it, ++cnt) {
                std::string_view d = it->data().substr(it->offset);
                iov[cnt] = iovec{const_cast<char*>(d.data()), d.size()};
            }
            msghdr m{};
            m.msg_iov = iov;
            m.msg_iovlen = size_t(cnt);
            n = sendmsg(c.sock.get(), &m, MSG_NOSIGNAL);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        auto left = size_t(n);
        c.out_bytes -= left;
        if (n > 0) c.out_progress = now_ms();
        while (left > 0) {
            chunk& f = c.out.front();
            size_t rest = f.data().size() - f.offset;
            if (left < rest) {
                f.offset += left;
                break;
            }
            left -= rest;
            c.out.pop_front();
        }
    }
    return true;
}

void server::ring(client& c) {
    ++c.bells_owed;
    if (!flush_bells(c)) drop(c);
}

void server::unring(client& c) {
    if (c.bells_owed > 0) {
        --c.bells_owed;
        return;
    }
    // Written already: read it back from the client's end. That end holds at
    // least this byte beyond those the answers sent tell the client to take,
    // so the doorbell goes on counting exactly the batches pending.
    char b = 0;
    ssize_t n = 0;
    do n = recv(c.bell_back.get(), &b, 1, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n != 1) ++c.bells_surplus;  // drained by the client itself: settled later
}

// Settles n doorbell bytes against those not yet written; returns how many
// the client must read itself.
uint32_t server::consume_bells(client& c, uint64_t n) {
    uint64_t k = std::min(c.bells_owed, n);
    c.bells_owed -= k;
    return uint32_t(n - k);
}

bool server::flush_bells(client& c) {
    static const char zeros[256] = {};
    if (!c.bell) return true;
    while (c.bells_owed > 0) {
        size_t n = std::min<uint64_t>(c.bells_owed, sizeof zeros);
        ssize_t w = ::send(c.bell.get(), zeros, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            break;
        }
        c.bells_owed -= uint64_t(w);
    }
    bool watch = c.bells_owed > 0;
    if (watch != c.bell_watch) {
        epoll_event ev{};
        ev.events = watch ? uint32_t(EPOLLOUT) : 0;
        ev.data.u64 = key(c.id, tag_bell);
        epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, c.bell.get(), &ev);
        c.bell_watch = watch;
    }
    return true;
}

bool server::handle(client& c, std::string_view payload) {
    wire::reader r(payload);
    auto code = msg(r.u8());
    if (!c.greeted) return code == msg::hello && on_hello(c, r);
    switch (code) {
        case msg::ping:
            if (!r.at_end()) return false;
            send(c, wire::response(code, 0));
            break;
        case msg::add_nodes:
        case msg::remove_nodes:
        case msg::clear_leaves: return on_paths(c, code, r);
        case msg::set_leaves: return on_set_leaves(c, r);
        case msg::event_register: return on_register(c, r);
        case msg::events_get: return r.at_end() && on_events_get(c);
        case msg::get: return on_get(c, r);
        case msg::dump: return on_dump(c, r);
        case msg::status: return r.at_end() && on_status(c);
        case msg::failpoint_set: return on_failpoint_set(c, r);
        case msg::failpoint_clear: return r.at_end() && on_failpoint_clear(c);
        default: return false;
    }
    return true;
}

bool server::on_hello(client& c, wire::reader& r) {
    std::string_view magic = r.bytes(sizeof wire::hello_magic);
    uint16_t version = r.u16();
    if (!r.at_end() || magic != std::string_view(wire::hello_magic, sizeof wire::hello_magic)) return false;
    std::string f = wire::response(msg::hello, version == wire::protocol_version ? 0 : VLT_EINVAL);
    wire::writer(f).u16(wire::protocol_version);
    send(c, std::move(f));
    if (version != wire::protocol_version)
        c.closing = true;
    else
        c.greeted = true;
    return true;
}

bool server::fire(std::string_view op, int32_t& code) {
    auto it = m_failpoints.find(op);
    if (it == m_failpoints.end() || it->second.remaining == 0) return false;
    code = it->second.code;
    if (it->second.remaining > 0 && --it->second.remaining == 0) m_failpoints.erase(it);
    return true;
}

void server::reply_statuses(client& c, msg code, int32_t result, const std::vector<int32_t>& statuses) {
    std::string f = wire::response(code, result);
    wire::writer w(f);
    w.u32(uint32_t(statuses.size()));
    for (int32_t s : statuses) w.i32(s);
    send(c, std::move(f));
}

bool server::on_paths(client& c, msg code, wire::reader& r) {
    r.str();  // the trailing string argument: accepted, unused
    uint32_t n = r.count(4);
    wire::reader items = r;  // read again below, once the frame is known good
    for (uint32_t i = 0; i < n; ++i) r.str();
    if (!r.at_end()) return false;

    std::vector<int32_t> statuses(n, 0);
    const std::string_view op = wire::failpoint_name(code);
    int32_t fail = 0;
    if (fire(op, fail)) {
        statuses.assign(n, fail);
        reply_statuses(c, code, fail, statuses);
        return true;
    }
    std::vector<std::string> paths;
    std::string path;
    int32_t result = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (!canonical_path(items.str(), path) || path == "/") {
            result = statuses[i] = VLT_EINVAL;
        } else if (result == 0) {
            paths.push_back(std::move(path));
        }
    }
    batch b;
    if (result == 0) {
        timeval t = now();
        if (code == msg::add_nodes)
            result = m_tree.add_nodes(paths, t, statuses, b);
        else if (code == msg::remove_nodes)
            result = m_tree.remove_nodes(paths, t, statuses, b);
        else
            result = m_tree.clear_leaves(paths, t, statuses, b);
    }
    reply_statuses(c, code, result, statuses);
    if (result == 0) publish(b);
    return true;
}

bool server::on_set_leaves(client& c, wire::reader& r) {
    r.str();
    bool forced = r.u8() != 0;
    uint32_t n = r.count(4 + velt::codec::min_value + 1);
    std::vector<std::string_view> raw(n);
    std::vector<tree::leaf_write> items(n);
    for (uint32_t i = 0; i < n && r.ok(); ++i) {
        raw[i] = r.str();
        if (!velt::codec::decode_value(r, items[i].value)) return false;
        r.u8();  // the per-leaf flag: any value is accepted and ignored
    }
    if (!r.at_end()) return false;

    std::vector<int32_t> statuses(n, 0);
    int32_t fail = 0;
    if (fire(wire::failpoint_name(msg::set_leaves), fail)) {
        statuses.assign(n, fail);
        reply_statuses(c, msg::set_leaves, fail, statuses);
        return true;
    }
    int32_t result = 0;
    timeval t = now();
    for (uint32_t i = 0; i < n; ++i) {
        if (!canonical_path(raw[i], items[i].path) || items[i].path == "/" ||
            stamp_value(items[i].value, forced, t) != 0)
            result = statuses[i] = VLT_EINVAL;
    }
    batch b;
    if (result == 0) result = m_tree.set_leaves(items, t, statuses, b);
    reply_statuses(c, msg::set_leaves, result, statuses);
    if (result == 0) publish(b);
    return true;
}

void server::publish(batch& b) {
    if (b.count() == 0) return;
    std::vector<uint32_t> offsets = std::move(b.offsets);
    auto full = std::make_shared<const std::string>(std::move(b.data));
    for (auto& [id, cp] : m_clients) {
        client& c = *cp;
        if (c.dead || c.subs.empty()) continue;
        shared_text mine;
        if (std::any_of(c.subs.begin(), c.subs.end(), [](const auto& s) { return s == "/"; })) {
            mine = full;
        } else {
            // Only the events under this subscriber's paths.
            std::string part(4, '\0');
            uint32_t count = 0;
            for (size_t i = 0; i < offsets.size(); ++i) {
                size_t begin = offsets[i];
                size_t end = i + 1 < offsets.size() ? offsets[i + 1] : full->size();
                wire::reader r(std::string_view(*full).substr(begin + 1));
                std::string_view path = r.str();
                if (!std::any_of(c.subs.begin(), c.subs.end(),
                                 [&](const auto& s) { return covers(s, path); }))
                    continue;
                part.append(*full, begin, end - begin);
                ++count;
            }
            if (count == 0) continue;
            if (count == offsets.size()) {
                mine = full;
            } else {
                wire::patch_u32(part, 0, count);
                mine = std::make_shared<const std::string>(std::move(part));
            }
        }
        // Cut off a subscriber that has fallen too far behind instead of
        // letting it hold unbounded memory.
        if (c.pending_bytes > max_pending_bytes) {
            drop(c);
            continue;
        }
        c.pending_bytes += mine->size();
        c.pending.push_back(std::move(mine));
        ring(c);
    }
}

bool server::on_register(client& c, wire::reader& r) {
    std::string_view raw = r.str();
    uint32_t kind = r.u32();
    r.u8();  // flag: accepted, unused
    if (!r.at_end()) return false;
    int32_t result = 0, status = 0;
    std::string path;
    if (fire(wire::failpoint_name(msg::event_register), result)) {
        // A failpoint's code, possibly 0; the subscription is not made.
    } else if (kind != EVENT_CHANGE || !canonical_path(raw, path)) {
        result = VLT_EINVAL;
    } else {
        if (std::find(c.subs.begin(), c.subs.end(), path) == c.subs.end()) c.subs.push_back(std::move(path));
        status = 1;
    }
    std::string f = wire::response(msg::event_register, result);
    wire::writer(f).i32(status);
    send(c, std::move(f));
    return true;
}

bool server::on_events_get(client& c) {
    // Response: code, doorbell bytes the client must take, then (code 0) the
    // batch: a count and the events; a count of 0 means nothing was pending.
    auto reply = [&](int32_t code, uint32_t bells) {
        std::string head = wire::response(msg::events_get, code);
        wire::writer(head).u32(bells);
        return head;
    };
    if (c.subs.empty()) {
        send(c, reply(wire::not_subscribed, 0));
        return true;
    }
    // Stray doorbell bytes are settled with whatever this call takes.
    uint64_t take = c.bells_surplus;
    c.bells_surplus = 0;
    if (c.fail.remaining != 0) {
        int32_t code = c.fail.code;
        if (c.fail.remaining > 0 && --c.fail.remaining == 0) {
            c.fail_bell = false;
            ++take;
        }
        send(c, reply(code, consume_bells(c, take)));
        return true;
    }
    if (c.pending.empty()) {
        std::string head = reply(0, consume_bells(c, take));
        wire::writer(head).u32(0);
        send(c, std::move(head));
        return true;
    }
    shared_text b = std::move(c.pending.front());
    c.pending.pop_front();
    c.pending_bytes -= b->size();
    send_shared(c, reply(0, consume_bells(c, take + 1)), std::move(b));
    return true;
}

bool server::on_get(client& c, wire::reader& r) {
    std::string_view raw = r.str();
    if (!r.at_end()) return false;
    std::string path;
    const tree::entry* e = nullptr;
    int32_t result = 0;
    if (!canonical_path(raw, path))
        result = VLT_EINVAL;
    else if (!(e = m_tree.find(path)))
        result = VLT_ENOENT;
    else if (!e->leaf)
        result = VLT_ECONFLICT;
    std::string f = wire::response(msg::get, result);
    if (result == 0) {
        wire::writer w(f);
        velt::codec::encode_value(w, e->value);
    }
    send(c, std::move(f));
    return true;
}

bool server::on_dump(client& c, wire::reader& r) {
    std::string_view raw = r.str();
    bool resume = r.u8() != 0;
    std::string_view raw_after = resume ? r.str() : std::string_view();
    if (!r.at_end()) return false;
    std::string path, after;
    int32_t result = 0;
    if (!canonical_path(raw, path) ||
        (resume && (!canonical_path(raw_after, after) || after == "/" || !covers(path, after))))
        result = VLT_EINVAL;
    else if (!m_tree.find(path))
        result = VLT_ENOENT;
    std::string f = wire::response(msg::dump, result);
    if (result == 0) {
        wire::writer w(f);
        size_t flag_at = f.size();
        w.u8(0);
        size_t count_at = f.size();
        w.u32(0);
        uint32_t count = 0;
        bool more = m_tree.dump(path, after, f, count, flag_at + dump_page);
        f[flag_at] = char(more ? 1 : 0);
        wire::patch_u32(f, count_at, count);
    }
    send(c, std::move(f));
    return true;
}

bool server::on_status(client& c) {
    int64_t subscribers = 0, pending = 0;
    for (const auto& [id, cp] : m_clients) {
        if (cp->dead) continue;
        subscribers += cp->subs.empty() ? 0 : 1;
        pending += int64_t(cp->pending.size());
    }
    int64_t clients = 0;
    for (const auto& [id, cp] : m_clients) clients += cp->dead ? 0 : 1;
    std::pair<const char*, int64_t> rows[] = {{"clients", clients},
                                              {"subscribers", subscribers},
                                              {"nodes", m_tree.nodes()},
                                              {"leaves", m_tree.leaves()},
                                              {"pending", pending}};
    std::string f = wire::response(msg::status, 0);
    wire::writer w(f);
    w.u32(uint32_t(std::size(rows)));
    for (const auto& [name, value] : rows) {
        w.str(name);
        w.i64(value);
    }
    send(c, std::move(f));
    return true;
}

bool server::on_failpoint_set(client& c, wire::reader& r) {
    std::string op(r.str());
    int32_t code = r.i32();
    int64_t count = r.i64();
    if (!r.at_end()) return false;
    int32_t result = 0;
    const bool on_events_get = op == wire::failpoint_name(msg::events_get);
    if (!wire::is_failpoint_op(op) || count == 0 || count < -1 || (on_events_get && code >= 0)) {
        result = VLT_EINVAL;
    } else if (on_events_get) {
        // Aimed at the subscribers there are now; each one's doorbell rings
        // so that its next events_get comes at once.
        for (auto& [id, cp] : m_clients) {
            client& s = *cp;
            if (s.dead || s.subs.empty()) continue;
            s.fail = failpoint{code, count};
            if (!s.fail_bell) {
                s.fail_bell = true;
                ring(s);
            }
        }
    } else {
        m_failpoints[op] = failpoint{code, count};
    }
    send(c, wire::response(msg::failpoint_set, result));
    return true;
}

bool server::on_failpoint_clear(client& c) {
    m_failpoints.clear();
    for (auto& [id, cp] : m_clients) {
        client& s = *cp;
        s.fail = failpoint{};
        if (s.fail_bell) {
            s.fail_bell = false;
            unring(s);
        }
    }
    send(c, wire::response(msg::failpoint_clear, 0));
    return true;
}

}  // namespace veltd
