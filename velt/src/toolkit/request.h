// Request/response helpers shared by CVelt and the admin calls.
#ifndef VELT_REQUEST_H
#define VELT_REQUEST_H

#include <velt.h>

#include <memory>
#include <string>

#include "c/connection.h"
#include "c/wire.h"

namespace velt::request {

// A request under construction: the frame and a writer for its body.
struct builder {
    std::string frame;
    size_t start;
    wire::writer w{frame};
    explicit builder(wire::msg code) : start(wire::begin_frame(frame, code)) {}
    const std::string& finish() {
        wire::finish_frame(frame, start);
        return frame;
    }
};

// Sends the request on `conn` (whose mutex the caller holds) and checks the
// response's message code; on success returns 0, `payload` holds the response
// and `code` its result code. Returns VLT_ELOST when the connection is gone
// or the store answered something malformed.
// Offset of the body in a response payload: message code and result code.
inline constexpr size_t response_header = 5;

int exchange(velt::client::connection& conn, builder& req, std::string& payload, int32_t& code);

}  // namespace velt::request

#endif
