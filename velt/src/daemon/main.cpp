// veltd: the Velt store daemon.
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/server.h"
#include "protocol/messages.h"
#include "stop_signals.h"

namespace {

const char usage[] = "usage: veltd [--socket PATH] [--stall-timeout MS]\n";

// Binds the store's socket at `path`, replacing a stale socket file; refuses
// when a live store answers there. Returns the listening socket or an
// invalid descriptor after printing why.
veltd::unique_fd listen_at(const std::string& path, ino_t& inode) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "veltd: socket path too long or empty: %s\n", path.c_str());
        return {};
    }
    memcpy(addr.sun_path, path.data(), path.size());
    auto* sa = reinterpret_cast<sockaddr*>(&addr);

    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            fprintf(stderr, "veltd: %s exists and is not a socket\n", path.c_str());
            return {};
        }
        veltd::unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && connect(probe.get(), sa, sizeof addr) == 0) {
            fprintf(stderr, "veltd: a store is already running on %s\n", path.c_str());
            return {};
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            fprintf(stderr, "veltd: cannot remove stale socket %s: %s\n", path.c_str(), strerror(errno));
            return {};
        }
    }

    veltd::unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!sock) {
        fprintf(stderr, "veltd: socket: %s\n", strerror(errno));
        return {};
    }
    // Created with mode 0600 from the start, so no other user can connect
    // in between.
    mode_t old = umask(0177);
    int rc = bind(sock.get(), sa, sizeof addr);
    int err = errno;
    umask(old);
    if (rc != 0) {
        fprintf(stderr, "veltd: cannot bind %s: %s\n", path.c_str(), strerror(err));
        return {};
    }
    if (chmod(path.c_str(), 0600) != 0 || listen(sock.get(), 128) != 0 || stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "veltd: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        unlink(path.c_str());
        return {};
    }
    inode = st.st_ino;
    return sock;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    bool have_path = false;
    int64_t stall_ms = veltd::default_stall_ms;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc && !have_path) {
            path = argv[++i];
            have_path = true;
        } else if (a == "--stall-timeout" && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            long long ms = strtoll(argv[++i], &end, 10);
            if (errno != 0 || *end != '\0' || end == argv[i] || ms < 0) {
                fputs(usage, stderr);
                return 1;
            }
            stall_ms = ms;
        } else if (a == "-h" || a == "--help") {
            fputs(usage, stdout);
            return 0;
        } else {
            fputs(usage, stderr);
            return 1;
        }
    }
    if (!have_path) path = velt::wire::socket_path();

    // Termination signals arrive through a descriptor the event loop watches.
    const sigset_t stop = velt::stop_signals();
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    veltd::unique_fd stop_fd(signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK));
    signal(SIGPIPE, SIG_IGN);
    if (!stop_fd) {
        fprintf(stderr, "veltd: signalfd: %s\n", strerror(errno));
        return 1;
    }

    // Room for many clients: each takes two descriptors.
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }

    ino_t inode = 0;
    veltd::unique_fd listener = listen_at(path, inode);
    if (!listener) return 1;

    int rc = 0;
    {
        veltd::server srv(std::move(listener), stop_fd.get(), stall_ms);
        rc = srv.run();
    }
    // Remove the socket unless someone has replaced it meanwhile.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && st.st_ino == inode) unlink(path.c_str());
    return rc;
}
