// Descriptors on the wire: the notification channel's descriptors handed
// over on the store's socket (SCM_RIGHTS) with the first bytes of the hello
// answer.
#ifndef VELT_PROTOCOL_DESCRIPTORS_H
#define VELT_PROTOCOL_DESCRIPTORS_H

#include <sys/types.h>

#include <cstddef>
#include <span>

#include "unique_fd.h"

namespace velt::wire {

// Most descriptors one message carries.
inline constexpr size_t max_passed_fds = 4;

// Sends up to `len` bytes with `fds` (at most max_passed_fds) attached; as
// sendmsg (MSG_NOSIGNAL).
ssize_t send_with_fds(int sock, const char* data, size_t len, std::span<const int> fds);
// Receives up to `len` bytes and the descriptors attached to them into
// `fds` (close-on-exec). When the message carries other than exactly
// fds.size() descriptors, or its control data was cut short, `fds` is left
// empty (whatever came is closed). As recvmsg, retried on EINTR.
ssize_t recv_with_fds(int sock, char* data, size_t len, std::span<unique_fd> fds);

}  // namespace velt::wire

#endif
