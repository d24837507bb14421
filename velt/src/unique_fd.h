// An owned file descriptor, closed on destruction.
#ifndef VELT_UNIQUE_FD_H
#define VELT_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace velt {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : m_fd(fd) {}
    unique_fd(unique_fd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.m_fd, -1));
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    void reset(int fd = -1) noexcept {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace velt

#endif
