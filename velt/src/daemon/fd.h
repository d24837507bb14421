// An owned file descriptor.
#ifndef VELTD_FD_H
#define VELTD_FD_H

#include <unistd.h>

#include <utility>

namespace veltd {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : m_fd(fd) {}
    unique_fd(unique_fd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.m_fd, -1));
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace veltd

#endif
