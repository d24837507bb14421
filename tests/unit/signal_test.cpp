// The termination handler: it stops the capture loop, wakes its wait through
// the pipe and leaves errno as it found it, also when the pipe is missing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "rorezuredi.h"

namespace {

// Each signal clears running and leaves one zero byte in the pipe; a write
// that fails for want of a pipe must not show through errno either.
TEST(TerminationHandler, StopsWakesAndKeepsErrno) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const int saved_write_end = __signal_pipepair[1];
    const struct { int write_end, signals, bytes; } rows[] = {{fds[1], 1, 1}, {fds[1], 3, 3}, {-1, 1, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "write end " << r.write_end << ", " << r.signals << " signals");
        __signal_pipepair[1] = r.write_end;
        running = 1;
        for (int i = 0; i < r.signals; ++i) {
            errno = EINTR;
            on_termination_signal(SIGTERM);
            EXPECT_EQ(errno, EINTR);
        }
        EXPECT_EQ(running, 0);
        char buf[16];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n < 0 ? 0 : size_t(n)), std::string(size_t(r.bytes), '\0'));
    }
    __signal_pipepair[1] = saved_write_end;
    running = 1;
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
