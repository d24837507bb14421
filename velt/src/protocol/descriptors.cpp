#include "protocol/descriptors.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace velt::wire {

namespace {

// A message of one buffer with room for one descriptor.
struct fd_message {
    iovec iov;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};

    fd_message(char* data, size_t len) : iov{data, len} {
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
    }
};

}  // namespace

ssize_t send_with_fd(int sock, const char* data, size_t len, int fd) {
    fd_message msg(const_cast<char*>(data), len);
    cmsghdr* cm = CMSG_FIRSTHDR(&msg.m);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cm), &fd, sizeof fd);
    return sendmsg(sock, &msg.m, MSG_NOSIGNAL);
}

ssize_t recv_with_fd(int sock, char* data, size_t len, unique_fd& fd) {
    fd_message msg(data, len);
    ssize_t n = 0;
    do n = recvmsg(sock, &msg.m, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n < 0) return n;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg.m); c; c = CMSG_NXTHDR(&msg.m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int))) {
            int got = -1;
            memcpy(&got, CMSG_DATA(c), sizeof got);
            fd.reset(got);
        }
    }
    if (msg.m.msg_flags & MSG_CTRUNC) fd.reset();
    return n;
}

bool recv_bell_byte(int fd, int flags) {
    char b = 0;
    ssize_t n = 0;
    do n = recv(fd, &b, 1, flags);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

}  // namespace velt::wire
