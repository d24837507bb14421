// The store's administrative calls (velt_admin.h).
#include <velt_admin.h>

#include "protocol/codec.h"
#include "toolkit/request.h"

namespace velt::admin {

using request::builder;

namespace {

// Runs a request whose response body is read by `body`; returns the result
// code, or VLT_ELOST when the body is malformed.
template <class F>
int run(vlt_handle_t handle, builder& req, F&& body) {
    auto conn = client::find(handle);
    if (!conn) return VLT_ELOST;
    request::round_trip rt(*conn, req);
    if (!rt.ok()) return VLT_ELOST;
    wire::reader& r = rt.body();
    if (rt.code() == 0 && !body(r)) r.fail();
    if (!r.at_end()) {
        conn->mark_lost();
        return VLT_ELOST;
    }
    return rt.code();
}

bool no_body(wire::reader&) {
    return true;
}

}  // namespace

int ping(vlt_handle_t handle) {
    builder req(wire::msg::ping);
    return run(handle, req, no_body);
}

int get(vlt_handle_t handle, const tk_string& path, toolkit::CElement& out) {
    if (path.size() > wire::max_request) return VLT_EINVAL;
    builder req(wire::msg::get);
    req.w.str(path);
    return run(handle, req, [&](wire::reader& r) { return codec::decode_value(r, out); });
}

int dump(vlt_handle_t handle, const tk_string& path, std::vector<dump_entry>& out) {
    return dump(handle, std::vector<tk_string>{path}, false, out);
}

int dump(vlt_handle_t handle, const std::vector<tk_string>& paths, bool skip_missing,
         std::vector<dump_entry>& out) {
    out.clear();
    size_t bytes = 0;
    for (const tk_string& p : paths) bytes += p.size() + 4;
    if (bytes > wire::max_request) return VLT_EINVAL;
    auto conn = client::find(handle);
    if (!conn) return VLT_ELOST;
    // One request: the store answers with every page of the subtrees, all
    // taken at one moment.
    builder req(wire::msg::dump);
    req.w.u8(skip_missing ? 1 : 0);
    req.w.u32(uint32_t(paths.size()));
    for (const tk_string& p : paths) req.w.str(p);
    request::round_trip rt(*conn, req);
    for (bool more = true; more;) {
        if (!rt.ok()) {
            out.clear();
            return VLT_ELOST;
        }
        wire::reader& r = rt.body();
        if (rt.code() != 0) {
            if (!r.at_end()) conn->mark_lost();
            out.clear();
            return r.at_end() ? rt.code() : VLT_ELOST;
        }
        more = r.u8() != 0;
        uint32_t n = r.count(5);
        for (uint32_t i = 0; i < n && r.ok(); ++i) {
            dump_entry e;
            uint8_t leaf = r.u8();
            e.is_leaf = leaf == 1;
            e.path.assign(r.str());
            if (leaf > 1 || (e.is_leaf && !codec::decode_value(r, e.value))) r.fail();
            out.push_back(std::move(e));
        }
        if (!r.ok() || !r.at_end() || (more && n == 0)) {
            conn->mark_lost();
            out.clear();
            return VLT_ELOST;
        }
        if (more) rt.next();
    }
    return 0;
}

int status(vlt_handle_t handle, std::vector<std::pair<std::string, int64_t>>& out) {
    out.clear();
    builder req(wire::msg::status);
    return run(handle, req, [&](wire::reader& r) {
        uint32_t n = r.count(12);
        for (uint32_t i = 0; i < n && r.ok(); ++i) {
            std::string name(r.str());
            int64_t v = r.i64();
            out.emplace_back(std::move(name), v);
        }
        return r.ok();
    });
}

int failpoint_set(vlt_handle_t handle, const std::string& op, int32_t code, int64_t count) {
    if (op.size() > 64) return VLT_EINVAL;
    builder req(wire::msg::failpoint_set);
    req.w.str(op);
    req.w.i32(code);
    req.w.i64(count);
    return run(handle, req, no_body);
}

int failpoint_clear(vlt_handle_t handle) {
    builder req(wire::msg::failpoint_clear);
    return run(handle, req, no_body);
}

}  // namespace velt::admin
