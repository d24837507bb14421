// veltctl watch: a subscription whose batches are printed as they arrive.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstring>
#include <velt_admin.h>

#include "ctl/controller.h"
#include "ctl/format.h"
#include "stop_signals.h"
#include "unique_fd.h"

namespace velt::ctl {

void controller::print_batch(long number, const std::vector<toolkit::CEvent>& events) {
    m_text.assign("batch ");
    m_text.append(std::to_string(number));
    m_text.push_back('\n');
    for (const auto& ev : events) {
        m_text.append("  ");
        m_text.append(cmd_name(ev.cmd));
        m_text.push_back(' ');
        append_escaped(m_text, ev.path);
        if (ev.cmd == CMD_SET_LEAF) {
            m_text.push_back(' ');
            append_typed_value(m_text, ev.value);
        }
        append_time(m_text, ev.value.timestamp());
        m_text.push_back('\n');
    }
    write(m_text);
    if (std::fflush(m_out) != 0) {
        throw failure(failure::kind::store,
                      std::string("cannot write standard output: ") + std::strerror(errno));
    }
}

int controller::watch(const std::string& path) {
    // Take the stop signals through a descriptor, so that one poll waits for
    // them and for the store alike. Blocked before subscribing: none is lost.
    const sigset_t stop = stop_signals();
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) {
        throw failure(failure::kind::store, std::string("watch: sigprocmask: ") + std::strerror(errno));
    }
    unique_fd sig(signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!sig) throw failure(failure::kind::store, std::string("watch: signalfd: ") + std::strerror(errno));

    api_status_t status = 0;
    const int rc = m_api.event_register(path, EVENT_CHANGE, false, status);
    if (rc != 0) throw failure(failure::kind::store, "watch: subscription failed: " + describe_code(rc));
    const int store_fd = vlt_get_fd(m_api.handle);
    if (store_fd < 0) throw failure(failure::kind::store, "watch: connection lost");

    std::vector<toolkit::CEvent> events;
    long number = 0;
    for (;;) {
        pollfd fds[2] = {{sig.get(), POLLIN, 0}, {store_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw failure(failure::kind::store, std::string("watch: poll: ") + std::strerror(errno));
        }
        if (fds[0].revents != 0) return 0;
        if (fds[1].revents == 0) continue;
        const int n = m_api.events_get(events);
        // A failpoint may fail a fetch with the very code of a lost
        // connection; only a store that no longer answers ends the watch.
        if (n == VLT_ELOST && admin::ping(m_api.handle) != 0)
            throw failure(failure::kind::store, "watch: connection lost");
        if (n < 0) {
            // An injected fetch failure; the subscription goes on.
            std::fprintf(stderr, "veltctl: watch: fetching events failed: %s\n", describe_code(n).c_str());
            continue;
        }
        print_batch(++number, events);
    }
}

}  // namespace velt::ctl
