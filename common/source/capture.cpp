// Capture: termination signals, the wait on the signal pipe and the store's
// notification descriptor, and the writing of fetched batches into the log.
#include "rorezuredi.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

volatile sig_atomic_t running = 1;
int __signal_pipepair[2] = {0, 0};
int select_fd1 = -1;
int select_fd2 = -1;

namespace {

// True when fd can be put into an fd_set without writing outside it.
bool fd_usable(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

// ts = a - b, borrowing one second when the nanoseconds go negative.
timespec elapsed(const timespec& a, const timespec& b) {
    timespec d;
    d.tv_nsec = a.tv_nsec - b.tv_nsec;
    d.tv_sec = a.tv_sec - b.tv_sec;
    if (d.tv_nsec < 0) {
        d.tv_nsec += 1000000000L;
        d.tv_sec -= 1;
    }
    return d;
}

}  // namespace

// Keeps errno as it found it: the handler can run between a failed call in
// the main flow (the store library's EINTR retries, say) and the test of its
// errno, and a failing write here (no pipe) must not change that test.
void on_termination_signal(int) {
    const int saved_errno = errno;
    running = 0;
    const char byte = 0;
    ssize_t r = write(__signal_pipepair[1], &byte, 1);
    (void)r;
    errno = saved_errno;
}

void register_handlers() {
    if (pipe(__signal_pipepair) != 0) {
        fprintf(stderr, "%s: Error: pipe returned errno %d\n", "register_handlers", errno);
        // No pipe: mark both ends invalid so that the handler's write fails
        // harmlessly and the wait watches only the store, relying on the
        // signal interrupting select.
        __signal_pipepair[0] = -1;
        __signal_pipepair[1] = -1;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_termination_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void hold_termination_signals(sigset_t& saved) {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &saved);
}

int register_for_changes() {
    api_status_t status = 0;
    const int rc = program_state.api.event_register("/", EVENT_CHANGE, false, status);
    if (rc != 0 || status != 1) {
        fprintf(stderr, "Error: can't register: %d/%d\n", rc, static_cast<int>(status));
        return 1;
    }
    return 0;
}

const char* ev_action_str(api_cmd_t cmd) {
    const char* name = action_name(cmd);
    // No name: the caller writes nothing for such a batch.
    if (!name) fprintf(stderr, "unknown command: %d\n", static_cast<int>(cmd));
    return name;
}

void dump_event(FILE* log, const toolkit::CEvent& ev) {
    // Events the store should never deliver are left out rather than written
    // in a form the reader would refuse (an empty path, or a leaf without a
    // typed value).
    if (ev.type != EVENT_CHANGE || ev.path.empty()) return;
    if (ev.cmd == CMD_SET_LEAF && ev.value.type() == DATATYPE_INVALID) return;

    write_event(log, ev.cmd, ev.path, ev.value);
}

namespace {

// Writes the start element on the first fetch, then the batch element of
// the events that pass the filter under the batch's one command.
void write_fetched_batch(FILE* log, const std::vector<toolkit::CEvent>& events) {
    std::vector<bool> accepted(events.size(), true);

    timespec now;
    if (program_state.clock_origin.tv_sec < 0) {
        clock_gettime(CLOCK_REALTIME, &program_state.start_time);
        write_start(log, program_state.start_time);
        clock_gettime(CLOCK_MONOTONIC, &program_state.clock_origin);
        now = program_state.clock_origin;
    } else {
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
    const timespec batch_time = elapsed(now, program_state.clock_origin);

    size_t accepted_count = 0;
    api_cmd_t master = events.front().cmd;
    for (size_t i = 0; i < events.size(); ++i) {
        const toolkit::CEvent& ev = events[i];
        accepted[i] = ok_to_use(ev.path, ev.cmd);
        if (accepted[i]) ++accepted_count;
        if (ev.cmd == master) continue;
        if (master == CMD_SET_LEAF && ev.cmd == CMD_ADD_NODE) continue;
        if (master == CMD_ADD_NODE && ev.cmd == CMD_SET_LEAF) {
            master = CMD_SET_LEAF;
            continue;
        }
        fprintf(stderr, "Assuming cmd %d is master for alternate cmd %d which is part of the same batch",
                static_cast<int>(master), static_cast<int>(ev.cmd));
    }

    if (accepted_count == 0) return;

    const char* action = ev_action_str(master);
    if (!action) return;  // a command without a log name can't be read back: skip the batch

    write_batch_open(log, batch_time, action);
    for (size_t i = 0; i < events.size(); ++i) {
        if (accepted[i] && events[i].cmd == master) dump_event(log, events[i]);
    }
    write_batch_close(log);
}

}  // namespace

int capture_event_batch(FILE* log) {
    // A store descriptor that can't be waited on can never deliver: treat it
    // like a failed fetch rather than wait on it or write outside the set.
    if (!program_state.api.is_initialized() || !fd_usable(select_fd2)) {
        fprintf(stderr, "Error: events_get()\n");
        return 1;
    }

    fd_set readfds;
    FD_ZERO(&readfds);
    // Without a usable signal pipe only the store is watched; a signal then
    // still ends the wait by interrupting select.
    const bool watch_pipe = fd_usable(select_fd1);
    if (watch_pipe) FD_SET(select_fd1, &readfds);
    FD_SET(select_fd2, &readfds);
    const int nfds = (watch_pipe && select_fd1 > select_fd2 ? select_fd1 : select_fd2) + 1;

    if (select(nfds, &readfds, nullptr, nullptr, nullptr) < 1) return 0;
    if (watch_pipe && FD_ISSET(select_fd1, &readfds)) return 0;

    std::vector<toolkit::CEvent> events;
    if (program_state.api.events_get(events) < 0) {
        fprintf(stderr, "Error: events_get()\n");
        return 1;
    }
    // An empty delivery carries nothing to record: no start, no batch.
    if (events.empty()) return 0;

    // A termination signal must not interrupt a write to a pipe or terminal
    // that is waiting for its reader: stdio would drop the buffered part of
    // the log. Held off, it is taken as soon as the batch has been written.
    sigset_t saved;
    hold_termination_signals(saved);
    // The stream retries its buffered writes after a failure, and nothing
    // else here fails on the way, so errno holds the reason of the last
    // failed write; cleared first so that a stale one is never reported.
    errno = 0;
    write_fetched_batch(log, events);
    const int write_errno = errno;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (ferror(log)) {
        report_log_write_error(write_errno);
        return 1;
    }
    return 0;
}

void report_log_write_error(int err) {
    const tk_string& name = program_state.data_file_name;
    fprintf(stderr, "Error: can't write to '%s': %s\n", name.empty() ? "standard output" : name.c_str(),
            strerror(err != 0 ? err : EIO));
}
