// The termination handler: it stops the capture loop, wakes its wait through
// the pipe and leaves errno as it found it, also when the pipe is missing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "rorezuredi.h"

namespace {

class TerminationHandler : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe2(fds_, O_NONBLOCK), 0);
        saved_write_end_ = __signal_pipepair[1];
    }
    void TearDown() override {
        __signal_pipepair[1] = saved_write_end_;
        running = 1;
        close(fds_[0]);
        close(fds_[1]);
    }
    // Bytes waiting in the test pipe.
    int pending() {
        char buf[16];
        const ssize_t n = read(fds_[0], buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) EXPECT_EQ(buf[i], 0);
        return n < 0 ? 0 : int(n);
    }

    int fds_[2] = {-1, -1};
    int saved_write_end_ = 0;
};

// Each signal clears running and leaves one zero byte in the pipe; a write
// that fails for want of a pipe must not show through errno either.
TEST_F(TerminationHandler, StopsWakesAndKeepsErrno) {
    const struct { int write_end, signals, bytes; } rows[] = {{fds_[1], 1, 1}, {fds_[1], 3, 3}, {-1, 1, 0}};
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
        EXPECT_EQ(pending(), r.bytes);
    }
}

}  // namespace
