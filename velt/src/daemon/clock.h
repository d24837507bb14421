// The monotonic clock veltd measures stalls with.
#ifndef VELTD_CLOCK_H
#define VELTD_CLOCK_H

#include <cstdint>
#include <ctime>

namespace veltd {

inline int64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace veltd

#endif
