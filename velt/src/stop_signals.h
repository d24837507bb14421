// The signals that stop veltd and end veltctl watch.
#ifndef VELT_STOP_SIGNALS_H
#define VELT_STOP_SIGNALS_H

#include <csignal>

namespace velt {

inline sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace velt

#endif
