// null_subscriber: subscribes to every change of the store and takes each
// batch as it arrives, discarding it. Its wait is the one capture uses
// (select on a signal pipe and the store's descriptor), so it is the floor
// that capture's throughput is measured against.
// Runs until SIGINT or SIGTERM, then prints "batches N events M".
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>
#include <velt++.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const char byte = 0;
    ssize_t r = write(signal_pipe[1], &byte, 1);
    (void)r;
}

}  // namespace

int main() {
    toolkit::CVelt api;
    api.handle = vlt_init();
    if (!api.is_initialized()) {
        std::fprintf(stderr, "null_subscriber: no store answers\n");
        return 1;
    }
    api_status_t status = 0;
    if (api.event_register("/", EVENT_CHANGE, false, status) != 0 || status != 1) {
        std::fprintf(stderr, "null_subscriber: subscription refused\n");
        return 1;
    }
    if (pipe(signal_pipe) != 0) {
        std::perror("null_subscriber: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int store_fd = vlt_get_fd(api.handle);
    if (store_fd < 0 || store_fd >= FD_SETSIZE || signal_pipe[0] >= FD_SETSIZE) return 1;
    std::vector<toolkit::CEvent> events;
    long batches = 0;
    long total = 0;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(signal_pipe[0], &readable);
        FD_SET(store_fd, &readable);
        const int nfds = (signal_pipe[0] > store_fd ? signal_pipe[0] : store_fd) + 1;
        if (select(nfds, &readable, nullptr, nullptr, nullptr) < 1) {
            if (errno == EINTR) continue;
            std::perror("null_subscriber: select");
            return 1;
        }
        if (FD_ISSET(signal_pipe[0], &readable)) break;
        const int n = api.events_get(events);
        if (n < 0) {
            std::fprintf(stderr, "null_subscriber: events_get failed (%d)\n", n);
            return 1;
        }
        ++batches;
        total += n;
    }
    std::printf("batches %ld events %ld\n", batches, total);
    return 0;
}
