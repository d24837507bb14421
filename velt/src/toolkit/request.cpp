#include "toolkit/request.h"

namespace velt::request {

round_trip::round_trip(velt::client::connection& conn, builder& req)
    : m_lock(conn.mutex()), m_conn(conn), m_expected(uint8_t(req.frame[req.start + wire::frame_header])) {
    accept(conn.call(req.finish(), m_payload));
}

bool round_trip::next() {
    return m_ok && accept(m_conn.receive(m_payload));
}

bool round_trip::accept(int rc) {
    m_ok = false;
    if (rc != 0) return false;
    m_body = wire::reader(m_payload);
    uint8_t got = m_body.u8();
    m_code = m_body.i32();
    if (!m_body.ok() || got != m_expected) {
        m_conn.mark_lost();
        return false;
    }
    m_ok = true;
    return true;
}

}  // namespace velt::request
