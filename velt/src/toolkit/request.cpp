#include "toolkit/request.h"

namespace velt::request {

int exchange(velt::client::connection& conn, builder& req, std::string& payload, int32_t& code) {
    auto expected = uint8_t(req.frame[req.start + wire::frame_header]);
    const std::string& frame = req.finish();
    if (conn.call(frame, payload) != 0) return VLT_ELOST;
    wire::reader r(payload);
    uint8_t got = r.u8();
    code = r.i32();
    if (!r.ok() || got != expected) {
        conn.mark_lost();
        return VLT_ELOST;
    }
    return 0;
}

}  // namespace velt::request
