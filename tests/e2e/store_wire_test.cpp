// The store's framing and its robustness: the frame decoder, raw clients that
// misbehave, subscribers that fall behind, and the daemon's start and stop rules.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "protocol/wire.h"
#include "store_support.h"

namespace {

using namespace store_test;
namespace wire = velt::wire;

std::string frame(std::string_view payload) {
    std::string f;
    wire::writer(f).u32(uint32_t(payload.size()));
    f.append(payload);
    return f;
}

struct decode_case {
    const char* name;
    std::string input;
    size_t piece;  // fed in pieces of this size
    strings frames;
    bool error;
};

TEST(StoreWire, FrameDecoderCutsFramesFromAnyPieces) {
    std::string two = frame("abc") + frame("\x01");
    std::string over;
    wire::writer(over).u32(uint32_t(wire::max_payload + 1));
    const std::vector<decode_case> cases = {
        {"whole", two, two.size(), {"abc", "\x01"}, false},
        {"byte by byte", two, 1, {"abc", "\x01"}, false},
        {"half a frame", frame("abcdef").substr(0, 7), 1, {}, false},
        {"empty frame", frame("x") + std::string(4, '\0') + frame("y"), 3, {"x"}, true},
        {"oversized", frame("ok") + over + "junk", 5, {"ok"}, true},
        {"largest allowed", std::string("\x00\x10\x00\x04", 4), 4, {}, false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        wire::frame_decoder dec;
        strings got;
        bool error = false;
        for (size_t pos = 0; pos < tc.input.size() && !error; pos += tc.piece) {
            std::string piece = tc.input.substr(pos, tc.piece);
            dec.append(piece.data(), piece.size());
            std::string_view payload;
            wire::frame_decoder::result r{};
            while ((r = dec.next(payload)) == wire::frame_decoder::result::frame) got.emplace_back(payload);
            error = r == wire::frame_decoder::result::error;
        }
        EXPECT_EQ(got, tc.frames);
        EXPECT_EQ(error, tc.error);
    }
}

// ---- Raw clients ------------------------------------------------------------

class raw_socket {
public:
    explicit raw_socket(const std::string& path) : m_fd(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, path.data(), path.size());
        EXPECT_EQ(connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        timeval tv{5, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~raw_socket() { close(m_fd); }
    void send_bytes(const std::string& s) {
        ASSERT_EQ(::send(m_fd, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size()));
    }
    // True once the store has closed the connection.
    bool closed_by_peer() {
        char buf[256];
        while (true) {
            ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n == 0) return true;
            if (n < 0) return false;
        }
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

std::string hello() {
    std::string p(1, char(wire::msg::hello));
    p += "VELT";
    wire::writer(p).u16(wire::protocol_version);
    return frame(p);
}

TEST(StoreRobustness, MisbehavingClientsAreDroppedAlone) {
    store_daemon d;
    client good;
    ASSERT_EQ(good.subscribe(), 0);
    std::string ping = frame(std::string(1, char(wire::msg::ping)));
    std::string over;
    wire::writer(over).u32(uint32_t(wire::max_payload + 1));
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"garbage", "GET / HTTP/1.0\r\n\r\n"},
        {"request before hello", ping},
        {"oversized frame", hello() + over},
        {"trailing bytes", hello() + frame(std::string(1, char(wire::msg::ping)) + "x")},
        {"count beyond the frame",
         hello() + frame(std::string(1, char(wire::msg::add_nodes)) + std::string(4, '\0') +
                         std::string("\xff\xff\xff\x0f", 4))},
        {"bad value type",
         hello() + frame(std::string(1, char(wire::msg::set_leaves)) + std::string(4, '\0') +
                         std::string(1, '\0') + std::string("\x01\0\0\0\x02\0\0\0/a", 10) +
                         std::string(1, '\x63') + std::string(17, '\0'))},
    };
    for (const auto& [name, bytes] : bad) {
        SCOPED_TRACE(name);
        raw_socket s(d.socket());
        s.send_bytes(bytes);
        EXPECT_TRUE(s.closed_by_peer());
        EXPECT_EQ(good.set("/ok", 1), 0);
        EXPECT_EQ(good.batch(), strings{"set /ok"});
    }
    // Half a frame, then silence or a disconnect, blocks no one.
    {
        raw_socket stalled(d.socket());
        stalled.send_bytes(hello() + frame("\x02" + std::string(100, 'x')).substr(0, 50));
        {
            raw_socket gone(d.socket());
            gone.send_bytes(hello().substr(0, 5));
        }
        EXPECT_EQ(good.set("/ok", 2), 0);
        EXPECT_EQ(good.batch(), strings{"set /ok"});
        EXPECT_EQ(good.status("clients"), 2);
    }
    EXPECT_TRUE(harness::wait_until([&] { return good.status("clients") == 1; }));
    EXPECT_TRUE(d.daemon().running());
}

TEST(StoreRobustness, SubscriberThatNeverReadsIsCutOff) {
    store_daemon d;
    client w, lazy, keen;
    ASSERT_EQ(lazy.subscribe(), 0);
    ASSERT_EQ(keen.subscribe("/keen"), 0);
    std::string mib(1 << 20, 'v');
    // Far more than the 64 MiB a subscriber may fall behind.
    for (int i = 0; i < 160; ++i) {
        ASSERT_EQ(w.set({"/big/" + std::to_string(i % 4)}, {text(mib)}), 0);
        if (i % 40 == 0) {
            ASSERT_EQ(w.set("/keen/x", i), 0);
        }
    }
    EXPECT_EQ(w.status("subscribers"), 1);
    EXPECT_TRUE(lazy.readable());
    std::vector<toolkit::CEvent> events;
    EXPECT_EQ(lazy.get(events), -1);
    // The other subscriber has everything.
    EXPECT_EQ(keen.batch(), (strings{"add /keen", "set /keen/x"}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(keen.batch(), strings{"set /keen/x"});
    EXPECT_FALSE(keen.readable());
    // The daemon never held much more than the limit (AddressSanitizer's
    // quarantine of freed memory hides that).
    long peak = harness::proc_status(d.pid(), "VmHWM");
    EXPECT_GT(peak, 0);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(peak, 130 * 1024);
#endif
}

// A client that stops reading its answers is served no further than its
// buffer and dropped once stalled; a client stuck mid-frame is dropped too.
TEST(StoreRobustness, StalledClientsCostBoundedMemoryAndAreDropped) {
    store_daemon d({"--stall-timeout", "200"});
    client w, sub;
    ASSERT_EQ(sub.subscribe(), 0);
    ASSERT_EQ(w.set({"/big"}, {text(std::string(4 << 20, 'z'))}), 0);
    std::string get_big(1, char(wire::msg::get));
    wire::writer(get_big).str("/big");
    std::string many = hello();
    for (int i = 0; i < 100; ++i) many += frame(get_big);
    raw_socket half(d.socket()), deaf(d.socket());
    half.send_bytes(hello().substr(0, 7));
    size_t sent = 0;
    harness::wait_until(
        [&] {
            ssize_t n =
                ::send(deaf.fd(), many.data() + sent, many.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += size_t(n);
            return sent == many.size() || (n < 0 && errno == EAGAIN);
        },
        2000);
    // Others are served meanwhile, and the daemon did not buffer 400 MiB.
    EXPECT_EQ(w.set("/other", 1), 0);
    EXPECT_LT(harness::proc_status(d.pid(), "VmHWM"), 100 * 1024);
    EXPECT_TRUE(half.closed_by_peer());
    EXPECT_TRUE(harness::wait_until([&] { return w.status("clients") == 2; }, 5000));
    // A subscriber that merely leaves batches pending stays.
    EXPECT_EQ(sub.batch(), strings{"set /big"});
    EXPECT_EQ(harness::run({VELTD_BIN, "--stall-timeout", "x"}).status, 1);
}

// ---- Starting and stopping ----------------------------------------------------

TEST(StoreDaemon, SocketRulesAndSignals) {
    store_daemon d;
    struct stat st;
    ASSERT_EQ(stat(d.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second daemon on the live socket is refused and leaves it alone.
    harness::result second = harness::run({VELTD_BIN, "--socket", d.socket()}, {.timeout_ms = 10000});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already running"), std::string::npos);
    client c;
    EXPECT_TRUE(c.ok());

    EXPECT_EQ(d.stop(SIGINT), 0);
    EXPECT_FALSE(harness::file_exists(d.socket()));

    // A socket file nobody answers on is replaced.
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, d.socket().data(), d.socket().size());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        close(fd);
    }
    d.start();
    client again;
    EXPECT_TRUE(again.ok());
    EXPECT_EQ(d.stop(SIGTERM), 0);

    // Anything else at the path is not touched.
    harness::write_file(d.socket(), "keep");
    harness::result r = harness::run({VELTD_BIN, "--socket", d.socket()}, {.timeout_ms = 10000});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(harness::read_file(d.socket()), "keep");
    EXPECT_EQ(harness::run({VELTD_BIN, "--bogus"}).status, 1);
}

TEST(StoreDaemon, OtherUsersAreRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    store_daemon d;
    // Open the socket file to everyone so that only the credential check
    // stands in the way.
    ASSERT_EQ(chmod(std::filesystem::path(d.socket()).parent_path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(d.socket().c_str(), 0666), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        vlt_handle_t h = vlt_init();
        _exit(h == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    client mine;
    EXPECT_TRUE(mine.ok());
}

// ---- End of a client's input -------------------------------------------------

TEST(StoreRobustness, RequestsSentBeforeAHalfCloseAreAnswered) {
    store_daemon d;
    client w;
    const std::string big(size_t(2) << 20, 'b');
    ASSERT_EQ(w.set({"/big"}, {text(big)}), 0);
    std::string get_big(1, char(wire::msg::get));
    wire::writer(get_big).str("/big");
    std::string add(1, char(wire::msg::add_nodes));
    wire::writer aw(add);
    aw.str("");
    aw.u32(1);
    aw.str("/after");
    // More answers than the daemon holds unsent at once, then half a request,
    // then the end of the input, as `printf ... | nc -U` would send them.
    std::string bytes = hello();
    for (int i = 0; i < 3; ++i) bytes += frame(get_big);
    bytes += frame(add) + frame(add).substr(0, 6);
    raw_socket s(d.socket());
    s.send_bytes(bytes);
    ASSERT_EQ(shutdown(s.fd(), SHUT_WR), 0);

    struct answer {
        int code;
        int32_t result;
        size_t size;
        bool operator==(const answer&) const = default;
    };
    std::vector<answer> got;
    wire::frame_decoder dec;
    char buf[65536];
    ssize_t n = 0;
    while ((n = recv(s.fd(), buf, sizeof buf, 0)) > 0) {
        dec.append(buf, size_t(n));
        std::string_view payload;
        while (dec.next(payload) == wire::frame_decoder::result::frame) {
            wire::reader r(payload);
            int code = r.u8();
            got.push_back({code, r.i32(), payload.size()});
        }
    }
    EXPECT_EQ(n, 0) << "the daemon should close the connection once it has answered";
    // Message and result codes, then the value: type, timestamp, length, text.
    const size_t value_answer = 5 + 17 + 4 + big.size();
    const std::vector<answer> want = {
        {int(wire::msg::hello), 0, 7},
        {int(wire::msg::get), 0, value_answer},
        {int(wire::msg::get), 0, value_answer},
        {int(wire::msg::get), 0, value_answer},
        {int(wire::msg::add_nodes), 0, 5 + 4 + 4},
    };
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    EXPECT_EQ(w.dump("/after"), strings{"node /after"});
    EXPECT_TRUE(harness::wait_until([&] { return w.status("clients") == 1; }));
}

}  // namespace
