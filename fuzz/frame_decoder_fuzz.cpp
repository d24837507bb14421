// Fuzz target: arbitrary bytes as one client's byte stream into veltd.
//
// Each input runs through two things:
// - the frame decoder on its own, fed the stream whole and in small pieces:
//   both must cut exactly the same frames and fail at the same point;
// - a fresh veltd event loop, in process, with a fresh tree, to which a
//   client connection sends the stream. The loop must survive whatever the
//   client sends (greeting, requests, malformed frames) and stop cleanly.
//
// The first input byte selects the framing: when its low bit is set, a valid
// greeting frame goes before the stream, so that the request handlers are
// reached without the fuzzer having to find the greeting first.
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/wire.h"
#include "daemon/server.h"

namespace wire = velt::wire;

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Every frame of `stream`, decoded with pieces of the given sizes (cycled;
// 0: all at once). The last entry is "!" when the decoder failed.
std::vector<std::string> frames(std::string_view stream, const std::vector<size_t>& pieces) {
    wire::frame_decoder dec;
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t k = 0; pos < stream.size(); ++k) {
        size_t n = pieces.empty() ? stream.size() : pieces[k % pieces.size()];
        n = std::min(n, stream.size() - pos);
        dec.append(stream.data() + pos, n);
        pos += n;
        std::string_view payload;
        while (true) {
            auto r = dec.next(payload);
            if (r == wire::frame_decoder::result::need_more) break;
            if (r == wire::frame_decoder::result::error) {
                check(dec.failed(), "error without failed()");
                out.emplace_back("!");
                return out;
            }
            check(!payload.empty() && payload.size() <= wire::max_payload, "payload size");
            out.emplace_back(payload);
        }
    }
    return out;
}

// A listening socket on an abstract address private to this process.
veltd::unique_fd listen_socket(sockaddr_un& addr, socklen_t& len) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    std::string name = "velt-fuzz-" + std::to_string(getpid());
    std::copy(name.begin(), name.end(), addr.sun_path + 1);  // sun_path[0] = 0: abstract
    len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    veltd::unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    check(bool(fd), "socket");
    check(bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0, "bind");
    check(listen(fd.get(), 8) == 0, "listen");
    return fd;
}

// The client: sends the stream while taking every answer, waits until the
// daemon has taken all of it (or dropped the connection), then stops the
// daemon's loop. The daemon handles what it has read before it next waits,
// so the stop comes after every complete request has been handled.
void run_client(const std::string& stream, const sockaddr_un& addr, socklen_t len, int stop_fd) {
    veltd::unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    check(bool(fd), "client socket");
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) == 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        size_t sent = 0;
        char buf[65536];
        while (std::chrono::steady_clock::now() < deadline) {
            if (sent == stream.size()) {
                int queued = 0;
                if (ioctl(fd.get(), SIOCOUTQ, &queued) != 0 || queued == 0) break;
            }
            pollfd p{fd.get(), short(POLLIN | (sent < stream.size() ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 0) == 0) {
                sched_yield();
                continue;
            }
            if (p.revents & POLLIN) {
                ssize_t n = recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            } else if (p.revents & (POLLHUP | POLLERR)) {
                break;
            }
            if ((p.revents & POLLOUT) && sent < stream.size()) {
                ssize_t n =
                    send(fd.get(), stream.data() + sent, stream.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0)
                    sent += size_t(n);
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    break;
            }
        }
    }
    uint64_t one = 1;
    check(write(stop_fd, &one, sizeof one) == sizeof one, "stop");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool greet = data[0] & 1;
    std::string stream = greet ? wire::hello_frame() : std::string();
    stream.append(reinterpret_cast<const char*>(data) + 1, size - 1);

    // The decoder cuts the same frames whatever pieces the bytes come in.
    std::vector<std::string> whole = frames(stream, {});
    check(frames(stream, {1}) == whole, "bytewise decoding differs");
    check(frames(stream, {3, 1, 7, 2, 64}) == whole, "piecewise decoding differs");

    sockaddr_un addr{};
    socklen_t len = 0;
    veltd::unique_fd listener = listen_socket(addr, len);
    veltd::unique_fd stop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    check(bool(stop), "eventfd");
    int rc = 0;
    {
        veltd::server srv(std::move(listener), stop.get());
        std::thread client(run_client, std::cref(stream), std::cref(addr), len, stop.get());
        rc = srv.run();
        client.join();
    }
    check(rc == 0, "event loop failed");
    return 0;
}
