#include "daemon/failpoints.h"

#include "daemon/server.h"

namespace veltd {

namespace wire = velt::wire;
using wire::msg;

bool failpoints::fire(std::string_view op, int32_t& code) {
    auto it = m_points.find(op);
    if (it == m_points.end() || !it->second.fire(code)) return false;
    if (it->second.spent()) m_points.erase(it);
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
        // Aimed at the subscribers there are now, through their channels.
        for (auto& [id, cp] : m_clients) {
            client& s = *cp;
            if (!s.dead && s.sub.active()) s.chan.fail(code, count);
        }
    } else {
        m_failpoints.set(op, failpoint{code, count});
    }
    c.out.send(wire::response(msg::failpoint_set, result));
    return true;
}

bool server::on_failpoint_clear(client& c) {
    m_failpoints.clear();
    for (auto& [id, cp] : m_clients)
        if (cp->sub.active()) cp->chan.clear_fail();
    c.out.send(wire::response(msg::failpoint_clear, 0));
    return true;
}

}  // namespace veltd
