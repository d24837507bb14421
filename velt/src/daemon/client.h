// One connection as veltd holds it.
#ifndef VELTD_CLIENT_H
#define VELTD_CLIENT_H

#include <cstdint>

#include "daemon/channel.h"
#include "daemon/output.h"
#include "daemon/publish.h"
#include "protocol/wire.h"
#include "unique_fd.h"

namespace veltd {

// Requests coming in.
struct input {
    velt::wire::frame_decoder frames;
    int64_t progress = 0;  // when input last arrived (ms, monotonic)
    bool eof = false;      // sends no more: answer what came, then drop
};

struct client {
    uint64_t id = 0;
    unique_fd sock;
    input in;
    output_queue out;
    channel chan;  // notifications, once subscribed
    subscription sub;

    bool greeted = false;
    bool closing = false;  // drop once the output is flushed
    bool dead = false;     // dropped; erased after the current event
    uint32_t events = 0;   // what epoll watches on sock
};

}  // namespace veltd

#endif
