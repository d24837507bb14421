// A connection's doorbell: one byte per batch pending, written as the socket
// buffer allows.
//
// The daemon writes on its end of a socket pair whose far end the client
// holds. Bytes that do not fit yet are owed and written as the client
// drains; a batch taken while its byte is still owed is settled without one,
// so the bytes on the doorbell always count the batches pending. The daemon
// keeps a descriptor of the far end too, to read a byte back.
#ifndef VELTD_DOORBELL_H
#define VELTD_DOORBELL_H

#include <cstdint>

#include "unique_fd.h"

namespace veltd {

using velt::unique_fd;

class doorbell {
public:
    doorbell() = default;
    // `ours` is the end written to; `back` a descriptor of the client's end.
    doorbell(unique_fd ours, unique_fd back) : m_fd(std::move(ours)), m_back(std::move(back)) {}

    // Our end, or -1 once the doorbell broke.
    int fd() const { return m_fd.get(); }
    explicit operator bool() const { return bool(m_fd); }
    // The client's end closed or failed: batches are no longer rung, only
    // settled (they stay owed).
    void broken() { m_fd.reset(); }

    // One more byte owed; flush() writes it.
    void ring() { ++m_owed; }
    // Takes back a byte rung for nothing: an owed one, or else one read back
    // from the client's end.
    void unring();
    // Settles n bytes that stood for batches now taken against those still
    // owed; returns how many the client must read itself. Bytes known to
    // stand for nothing (see unring) are settled along.
    uint32_t settle(uint64_t n);
    // Writes the owed bytes the socket takes; false on a failure.
    bool flush();

    // Whether the owed bytes need a wake-up when the socket drains, and
    // whether that changed since the last call.
    bool watch_changed(bool& watch);

private:
    unique_fd m_fd;
    unique_fd m_back;
    uint64_t m_owed = 0;     // bytes not yet written
    uint64_t m_surplus = 0;  // written bytes that stand for nothing
    bool m_watching = false;
};

}  // namespace veltd

#endif
