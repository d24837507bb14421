// toolkit::CVelt: the requests and notifications of libvelt++.
#include <velt++.h>

#include <vector>

#include "protocol/codec.h"
#include "toolkit/request.h"

using velt::request::builder;
using velt::request::round_trip;
namespace wire = velt::wire;

namespace toolkit {

namespace {

int fail_all(std::vector<api_status_t>& statuses, size_t n, int code) {
    statuses.assign(n, code);
    return code;
}

// Sends a request about n paths and reads the per-path statuses that follow
// the response's result code.
int status_request(velt::client::connection& conn, builder& req, size_t n,
                   std::vector<api_status_t>& statuses) {
    round_trip rt(conn, req);
    if (!rt.ok()) return fail_all(statuses, n, VLT_ELOST);
    wire::reader& r = rt.body();
    uint32_t count = r.count(4);
    if (r.ok() && count == n) {
        statuses.resize(n);
        for (auto& s : statuses) s = r.i32();
        if (r.at_end()) return rt.code();
    }
    conn.mark_lost();
    return fail_all(statuses, n, VLT_ELOST);
}

// add_nodes, remove_nodes and clear_leaves share one shape.
int path_request(vlt_handle_t handle, wire::msg code, const std::vector<tk_string>& paths,
                 std::vector<api_status_t>& statuses, const tk_string& extra) {
    auto conn = velt::client::find(handle);
    if (!conn) return fail_all(statuses, paths.size(), VLT_ELOST);
    size_t size = 4 + extra.size() + 4;
    for (const auto& p : paths) size += 4 + p.size();
    if (size > wire::max_request || paths.size() > UINT32_MAX)
        return fail_all(statuses, paths.size(), VLT_EINVAL);
    builder req(code);
    req.frame.reserve(size + 16);
    req.w.str(extra);
    req.w.u32(uint32_t(paths.size()));
    for (const auto& p : paths) req.w.str(p);
    return status_request(*conn, req, paths.size(), statuses);
}

}  // namespace

CVelt::~CVelt() {
    if (handle != 0) vlt_close(handle);
    handle = 0;
}

int CVelt::event_register(const tk_string& path, api_event_t kind, bool flag, api_status_t& status) {
    status = 0;
    auto conn = velt::client::find(handle);
    if (!conn) return VLT_ELOST;
    if (path.size() > wire::max_request) return VLT_EINVAL;
    builder req(wire::msg::event_register);
    req.w.str(path);
    req.w.u32(uint32_t(kind));
    req.w.u8(flag ? 1 : 0);
    round_trip rt(*conn, req);
    if (!rt.ok()) return VLT_ELOST;
    int32_t st = rt.body().i32();
    if (!rt.body().at_end()) {
        conn->mark_lost();
        return VLT_ELOST;
    }
    status = st;
    if (rt.code() == 0 && st == 1) {
        conn->set_subscribed();
        subscribed = true;
    }
    return rt.code();
}

int CVelt::events_get(std::vector<CEvent>& events) {
    events.clear();
    auto conn = velt::client::find(handle);
    if (!conn) return VLT_ELOST;
    // Without a subscription nothing will ever arrive: fail instead of blocking.
    if (!conn->subscribed()) return wire::not_subscribed;
    std::string_view payload;
    // A failpoint's code (the daemon sets only negative ones) or a loss.
    const int result = conn->take_batch(payload);
    if (result != 0) return result < 0 ? result : VLT_ELOST;
    wire::reader r(payload);
    uint32_t n = r.count(velt::codec::min_event);
    bool ok = r.ok() && n > 0;
    if (ok) {
        events.resize(n);
        for (auto& e : events)
            if (!(ok = velt::codec::decode_event(r, e))) break;
    }
    if (!ok || !r.at_end()) {
        events.clear();
        conn->mark_lost();
        return VLT_ELOST;
    }
    return int(n);
}

int CVelt::add_nodes(const std::vector<tk_string>& paths, std::vector<api_status_t>& statuses,
                     const tk_string& extra) {
    return path_request(handle, wire::msg::add_nodes, paths, statuses, extra);
}

int CVelt::remove_nodes(const std::vector<tk_string>& paths, std::vector<api_status_t>& statuses,
                        const tk_string& extra) {
    return path_request(handle, wire::msg::remove_nodes, paths, statuses, extra);
}

int CVelt::clear_leaves(const std::vector<tk_string>& paths, std::vector<api_status_t>& statuses,
                        const tk_string& extra) {
    return path_request(handle, wire::msg::clear_leaves, paths, statuses, extra);
}

int CVelt::set_leaves(const std::vector<tk_string>& paths, const std::vector<CElement>& values,
                      const std::vector<vlt_tribool_t>& flags, std::vector<api_status_t>& statuses,
                      const tk_string& extra) {
    auto conn = velt::client::find(handle);
    if (!conn) return fail_all(statuses, paths.size(), VLT_ELOST);
    // Flags may be left out entirely (all unset); otherwise one per path.
    if (values.size() != paths.size() || (!flags.empty() && flags.size() != paths.size()))
        return fail_all(statuses, paths.size(), VLT_EINVAL);
    size_t size = 4 + extra.size() + 1 + 4;
    for (size_t i = 0; i < paths.size(); ++i)
        size += 4 + paths[i].size() + velt::codec::encoded_size(values[i]) + 1;
    if (size > wire::max_request || paths.size() > UINT32_MAX)
        return fail_all(statuses, paths.size(), VLT_EINVAL);
    builder req(wire::msg::set_leaves);
    req.frame.reserve(size + 16);
    req.w.str(extra);
    req.w.u8(CElement::_forced_auto_time ? 1 : 0);
    req.w.u32(uint32_t(paths.size()));
    for (size_t i = 0; i < paths.size(); ++i) {
        req.w.str(paths[i]);
        velt::codec::encode_value(req.w, values[i]);
        req.w.u8(flags.empty() ? uint8_t(VLT_UNSET) : uint8_t(flags[i]));
    }
    return status_request(*conn, req, paths.size(), statuses);
}

}  // namespace toolkit
