// The clocks of veltd: the wall clock that stamps changes and the
// monotonic one that measures stalls.
#ifndef VELTD_CLOCK_H
#define VELTD_CLOCK_H

#include <sys/time.h>

#include <cstdint>
#include <ctime>

namespace veltd {

// The current CLOCK_REALTIME time.
inline timeval now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return timeval{ts.tv_sec, suseconds_t(ts.tv_nsec / 1000)};
}

inline int64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace veltd

#endif
