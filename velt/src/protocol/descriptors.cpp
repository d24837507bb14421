#include "protocol/descriptors.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace velt::wire {

namespace {

// A message of one buffer with room for max_passed_fds descriptors.
struct fd_message {
    iovec iov;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * max_passed_fds)] = {};
    msghdr m{};

    fd_message(char* data, size_t len) : iov{data, len} {
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
    }
};

}  // namespace

ssize_t send_with_fds(int sock, const char* data, size_t len, std::span<const int> fds) {
    if (fds.size() > max_passed_fds) {
        errno = EINVAL;
        return -1;
    }
    fd_message msg(const_cast<char*>(data), len);
    msg.m.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* cm = CMSG_FIRSTHDR(&msg.m);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    memcpy(CMSG_DATA(cm), fds.data(), sizeof(int) * fds.size());
    return sendmsg(sock, &msg.m, MSG_NOSIGNAL);
}

ssize_t recv_with_fds(int sock, char* data, size_t len, std::span<unique_fd> fds) {
    fd_message msg(data, len);
    ssize_t n = 0;
    do n = recvmsg(sock, &msg.m, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n < 0) return n;
    size_t got = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg.m); c; c = CMSG_NXTHDR(&msg.m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            unique_fd owned(fd);
            if (got < fds.size()) fds[got] = std::move(owned);
            ++got;
        }
    }
    if (got != fds.size() || (msg.m.msg_flags & MSG_CTRUNC))
        for (auto& fd : fds) fd.reset();
    return n;
}

}  // namespace velt::wire
