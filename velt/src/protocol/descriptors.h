// The doorbell on the wire: its descriptor handed over on the store's socket
// (SCM_RIGHTS) with the first bytes of the hello answer, and its bytes.
#ifndef VELT_PROTOCOL_DESCRIPTORS_H
#define VELT_PROTOCOL_DESCRIPTORS_H

#include <sys/types.h>

#include <cstddef>

#include "unique_fd.h"

namespace velt::wire {

// Sends up to `len` bytes with `fd` attached; as sendmsg (MSG_NOSIGNAL).
ssize_t send_with_fd(int sock, const char* data, size_t len, int fd);
// Receives up to `len` bytes and the descriptor attached to them, if any,
// into `fd` (close-on-exec; none when the control data was cut short); as
// recvmsg, retried on EINTR.
ssize_t recv_with_fd(int sock, char* data, size_t len, unique_fd& fd);

// Takes one doorbell byte from `fd` (or looks at it, with MSG_PEEK); true
// when there was one.
bool recv_bell_byte(int fd, int flags);

}  // namespace velt::wire

#endif
