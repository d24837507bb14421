// Request/response helpers shared by CVelt and the admin calls.
#ifndef VELT_REQUEST_H
#define VELT_REQUEST_H

#include <velt.h>

#include <memory>
#include <mutex>
#include <string>

#include "c/connection.h"
#include "protocol/wire.h"

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

// One request and its response. Holds the connection's lock from sending the
// request until it goes out of scope, so that the response is read before
// another thread's request goes out.
class round_trip {
public:
    // Sends `req` on `conn` and checks the response's message code.
    round_trip(velt::client::connection& conn, builder& req);
    round_trip(const round_trip&) = delete;
    round_trip& operator=(const round_trip&) = delete;

    // False when the connection is gone or the store answered something
    // malformed (the connection is then lost): the call fails with VLT_ELOST.
    bool ok() const { return m_ok; }
    // The response's result code.
    int32_t code() const { return m_code; }
    // Reads the fields that follow the result code.
    wire::reader& body() { return m_body; }
    // Takes the next response of a request answered in several; false as
    // ok() is.
    bool next();

private:
    bool accept(int rc);

    std::lock_guard<std::mutex> m_lock;
    velt::client::connection& m_conn;
    uint8_t m_expected = 0;
    std::string_view m_payload;
    wire::reader m_body{std::string_view()};
    int32_t m_code = 0;
    bool m_ok = false;
};

}  // namespace velt::request

#endif
