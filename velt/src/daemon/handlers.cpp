// The request handlers: each reads one request, applies it and queues the
// answer.
#include <algorithm>

#include "daemon/checks.h"
#include "daemon/clock.h"
#include "daemon/server.h"
#include "protocol/codec.h"

namespace veltd {

namespace wire = velt::wire;
using wire::msg;

namespace {

// Dump responses are cut into pages of about this size.
constexpr size_t dump_page = size_t(4) << 20;

}  // namespace

bool server::handle(client& c, std::string_view payload) {
    wire::reader r(payload);
    auto code = msg(r.u8());
    if (!c.greeted) return code == msg::hello && on_hello(c, r);
    switch (code) {
        case msg::ping:
            if (!r.at_end()) return false;
            c.out.send(wire::response(code, 0));
            break;
        case msg::add_nodes:
        case msg::remove_nodes:
        case msg::clear_leaves: return on_paths(c, code, r);
        case msg::set_leaves: return on_set_leaves(c, r);
        case msg::event_register: return on_register(c, r);
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
    const bool supported = version == wire::protocol_version;
    if (supported && !open_channel(c)) return false;
    std::string f = wire::response(msg::hello, supported ? 0 : VLT_EINVAL);
    wire::writer(f).u16(wire::protocol_version);
    c.out.send(std::move(f));
    if (supported)
        c.greeted = true;
    else
        c.closing = true;
    return true;
}

void server::reply_statuses(client& c, msg code, int32_t result, const std::vector<int32_t>& statuses) {
    std::string f = wire::response(code, result);
    wire::writer w(f);
    w.u32(uint32_t(statuses.size()));
    for (int32_t s : statuses) w.i32(s);
    c.out.send(std::move(f));
}

bool server::on_paths(client& c, msg code, wire::reader& r) {
    r.str();  // the trailing string argument: accepted, unused
    uint32_t n = r.count(4);
    wire::reader items = r;  // read again below, once the frame is known good
    for (uint32_t i = 0; i < n; ++i) r.str();
    if (!r.at_end()) return false;

    int32_t fail = 0;
    if (m_failpoints.fire(wire::failpoint_name(code), fail)) {
        reply_statuses(c, code, fail, std::vector<int32_t>(n, fail));
        return true;
    }
    std::vector<int32_t> statuses(n, 0);
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

    int32_t fail = 0;
    if (m_failpoints.fire(wire::failpoint_name(msg::set_leaves), fail)) {
        reply_statuses(c, msg::set_leaves, fail, std::vector<int32_t>(n, fail));
        return true;
    }
    std::vector<int32_t> statuses(n, 0);
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

bool server::on_register(client& c, wire::reader& r) {
    std::string_view raw = r.str();
    uint32_t kind = r.u32();
    r.u8();  // flag: accepted, unused
    if (!r.at_end()) return false;
    int32_t result = 0, status = 0;
    std::string path;
    if (m_failpoints.fire(wire::failpoint_name(msg::event_register), result)) {
        // A failpoint's code, possibly 0; the subscription is not made.
    } else if (kind != EVENT_CHANGE || !canonical_path(raw, path)) {
        result = VLT_EINVAL;
    } else {
        c.sub.add(std::move(path));
        status = 1;
    }
    std::string f = wire::response(msg::event_register, result);
    wire::writer(f).i32(status);
    c.out.send(std::move(f));
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
    c.out.send(std::move(f));
    return true;
}

// One dump request is answered with every page of its subtrees, all made in
// this one turn of the event loop, so the pages show the tree at one moment
// whatever the client's reading speed. Each page is a response of its own.
bool server::on_dump(client& c, wire::reader& r) {
    const bool skip_missing = r.u8() != 0;
    const uint32_t n = r.count(4);
    std::vector<std::string> paths(r.ok() ? n : 0);
    int32_t result = 0;
    for (std::string& path : paths)
        if (!canonical_path(r.str(), path)) result = VLT_EINVAL;
    if (!r.at_end()) return false;
    for (const std::string& path : paths)
        if (result == 0 && !skip_missing && !m_tree.find(path)) result = VLT_ENOENT;
    size_t k = 0;
    std::string after;  // where the subtree paths[k] resumes
    for (;;) {
        std::string f = wire::response(msg::dump, result);
        bool more = false;
        if (result == 0) {
            wire::writer w(f);
            const size_t flag_at = f.size();
            w.u8(0);
            const size_t count_at = f.size();
            w.u32(0);
            uint32_t count = 0;
            while (k < paths.size()) {
                std::string last;
                if (m_tree.find(paths[k]) &&
                    m_tree.dump(paths[k], after, f, count, flag_at + dump_page, last)) {
                    after = std::move(last);
                    more = true;
                    break;
                }
                after.clear();
                ++k;
            }
            f[flag_at] = char(more ? 1 : 0);
            wire::patch_u32(f, count_at, count);
        }
        c.out.send(std::move(f));
        if (!more) return true;
    }
}

bool server::on_status(client& c) {
    int64_t subscribers = 0, pending = 0;
    for (const auto& [id, cp] : m_clients) {
        if (cp->dead) continue;
        subscribers += cp->sub.active() ? 1 : 0;
        pending += cp->chan.pending();
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
    c.out.send(std::move(f));
    return true;
}

}  // namespace veltd
