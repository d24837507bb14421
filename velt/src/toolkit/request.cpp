#include "toolkit/request.h"

namespace velt::request {

round_trip::round_trip(velt::client::connection& conn, builder& req) : m_lock(conn.mutex()) {
    auto expected = uint8_t(req.frame[req.start + wire::frame_header]);
    if (conn.call(req.finish(), m_payload) != 0) return;
    m_body = wire::reader(m_payload);
    uint8_t got = m_body.u8();
    m_code = m_body.i32();
    if (!m_body.ok() || got != expected) {
        conn.mark_lost();
        return;
    }
    m_ok = true;
}

}  // namespace velt::request
