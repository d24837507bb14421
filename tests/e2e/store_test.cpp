// The store through its client libraries and on its socket: request outcomes
// and their events, subscriptions, timestamps, the notification descriptor,
// failpoints, clients that misbehave, and the daemon's start and stop rules.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <velt++.h>
#include <velt_admin.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <thread>

#include "harness.h"
#include "protocol/wire.h"
#include "unique_fd.h"

namespace {

using harness::strings;
using toolkit::CElement;
using events = std::vector<toolkit::CEvent>;
namespace wire = velt::wire;
namespace admin = velt::admin;

// A private veltd that this process's own clients reach.
struct store : harness::private_store {
    explicit store(strings extra = {}) : private_store(std::move(extra)) { use_in_process(); }
};

// A value from its text form.
CElement of(const std::string& text, data_type_t type = DATATYPE_STRING, timeval t = {-1, 0}) {
    CElement e;
    e.set_string(text);
    EXPECT_EQ(type == DATATYPE_STRING ? 0 : e.convert_type(type), 0);
    e.timestamp() = t;
    return e;
}
CElement i32(int32_t v, timeval t = {-1, 0}) {
    return of(std::to_string(v), DATATYPE_INT32, t);
}
strings words(const std::string& text) {
    strings out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}
std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

// One connection with short-hand requests.
struct client {
    toolkit::CVelt api;
    std::vector<api_status_t> st;  // of the last request
    api_status_t registered = -7;  // of the last subscribe

    client() { api.handle = vlt_init(); }
    // A set sends every flag value in turn and a trailing string, neither of which may matter.
    int req(api_cmd_t cmd, const strings& paths, const std::vector<CElement>& values = {}) {
        if (cmd == CMD_ADD_NODE) return api.add_nodes(paths, st, "");
        if (cmd == CMD_REMOVE_NODE) return api.remove_nodes(paths, st, "");
        if (cmd == CMD_CLEAR_LEAF) return api.clear_leaves(paths, st, "");
        std::vector<vlt_tribool_t> flags;
        for (size_t i = 0; i < paths.size(); ++i) flags.push_back(vlt_tribool_t(i % 3));
        return api.set_leaves(paths, values, flags, st, "whatever");
    }
    int set(const std::string& path, int32_t v) { return req(CMD_SET_LEAF, {path}, {i32(v)}); }
    int sub(const std::string& path = "/") {
        return api.event_register(path, EVENT_CHANGE, false, registered);
    }
    bool readable(int ms = 0) const {
        pollfd p{vlt_get_fd(api.handle), POLLIN, 0};
        return poll(&p, 1, ms) == 1;
    }
    int get(events& ev) { return api.events_get(ev); }
    // Takes one batch: "CMD PATH, ...".
    std::string batch() {
        static const char* const names[] = {"?", "add", "remove", "?", "set", "clear"};
        events ev;
        if (!readable(5000) || get(ev) <= 0) return "no batch";
        std::string out;
        for (const auto& e : ev) out += (out.empty() ? "" : ", ") + (names[e.cmd % 6] + (" " + e.path));
        return out;
    }
    // The tree: "NODE LEAF=TEXT ...".
    std::string dump() {
        std::vector<admin::dump_entry> entries;
        EXPECT_EQ(admin::dump(api.handle, "/", entries), 0);
        std::string out;
        for (const auto& e : entries) out += " " + e.path + (e.is_leaf ? "=" + e.value.to_string() : "");
        return out.substr(out.empty() ? 0 : 1);
    }
    long status(const std::string& name) const { return kit::status_value(api.handle, name); }
};

// A store, a writer and a subscriber to the whole tree.
struct Store : testing::Test {
    store d;
    client w, sub;
    void SetUp() override { ASSERT_EQ(sub.sub(), 0); }
};

// Requests on a store holding /n, /n/l = 1 and /n/s: the code, the statuses, the one batch
// a subscriber hears and the tree after; one that changes nothing sends no batch.
TEST(StoreRequests, OutcomesEventsAndAllOrNothing) {
    struct row {
        api_cmd_t cmd;
        std::string paths, statuses;  // words; no statuses: all 0
        int code;
        std::string events, dump;  // none: unchanged
        std::vector<CElement> values = {};
    };
    const std::string S = "/n /n/l=1 /n/s", deep = repeat("/a", 4097), huge((64u << 20) + 1, 'x');
    const api_cmd_t ADD = CMD_ADD_NODE, REM = CMD_REMOVE_NODE, SET = CMD_SET_LEAF, CLR = CMD_CLEAR_LEAF;
    const std::vector<row> rows = {
        {SET, "/n/l /a/v", "", 0, "set /n/l, add /a, set /a/v", "/a /a/v=8 /n /n/l=7 /n/s", {i32(7), i32(8)}},
        {ADD, "/a/b //a/c/", "", 0, "add /a, add /a/b, add /a/c", "/a /a/b /a/c " + S},
        {ADD, "/n", "", 0},
        {ADD, "/x /n/l", "0 2", 2},
        {ADD, "/n/l/x", "2", 2},
        {ADD, "/x /", "0 1", 1},
        {ADD, "/x " + deep, "0 1", 1},
        {ADD, "/x /a\x01", "0 1", 1},
        {REM, "/n/s /n/l", "0 2", 2},
        {REM, "/n /zz /n/l/q", "", 0, "remove /n", ""},
        {CLR, "/n/l /n/s", "0 2", 2},
        {CLR, "/n/l /n/nope /n/l", "", 0, "clear /n/l", "/n /n/s"},
        {SET, "/n/s", "2", 2, "", "", {i32(3)}},
        {SET, "/y /n/l/z", "0 2", 2, "", "", {i32(1), i32(2)}},
        {SET, "/p /p/q", "0 2", 2, "", "", {i32(1), i32(2)}},
        {SET, "/y", "1", 1, "", "", {of("", DATATYPE_NONE)}},
        {SET, "/y", "1", 1, "", "", {of("a\x01")}},
        {SET, "/y", "1", 1, "", "", {of(huge)}},  // over 64 MiB
        {SET, "/y", "1", 1, "", "", {i32(1, {-2, 0})}},
        {SET, "/y", "1", 1, "", "", {i32(1, {-2, 3000000})}},  // refused before the carry
        {SET, "/y /z", "1 1", 1, "", "", {i32(1)}}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.paths.substr(0, 40));
        store d;
        client w, sub;
        ASSERT_EQ(w.set("/n/l", 1) + w.req(ADD, {"/n/s"}) + sub.sub(), 0);
        EXPECT_EQ(w.req(r.cmd, words(r.paths), r.values), r.code);
        std::vector<api_status_t> statuses(r.statuses.empty() ? words(r.paths).size() : 0);
        for (const auto& s : words(r.statuses)) statuses.push_back(std::stoi(s));
        EXPECT_EQ(w.st, statuses);
        const std::string tree = w.dump();
        EXPECT_EQ(tree, r.events.empty() ? S : r.dump);
        const long leaves = std::count(tree.begin(), tree.end(), '=');
        EXPECT_EQ(w.status("leaves"), leaves);
        EXPECT_EQ(w.status("nodes"), long(words(tree).size()) - leaves);
        EXPECT_EQ(r.events.empty() ? "" : sub.batch(), r.events);
        EXPECT_FALSE(sub.readable());
    }
}

// Subscribers hear the events at or under their paths, and only those.
TEST_F(Store, SubscriptionsAndTheirDescriptor) {
    client a, ab, two, bad;
    ASSERT_EQ(a.sub("/a") + ab.sub("/ab/") + two.sub("/a/x") + two.sub("/ab"), 0);
    EXPECT_EQ(a.registered, 1);
    EXPECT_EQ(bad.sub("/a\n"), 1);  // refused: subscribes nothing
    EXPECT_EQ(bad.registered, 0);
    ASSERT_EQ(w.req(CMD_SET_LEAF, {"/ab/1", "/a/x/2", "/b"}, {i32(1), i32(2), i32(3)}), 0);
    EXPECT_EQ(a.batch(), "add /a, add /a/x, set /a/x/2");
    EXPECT_EQ(ab.batch(), "add /ab, set /ab/1");
    EXPECT_EQ(two.batch(), "add /ab, set /ab/1, add /a/x, set /a/x/2");
    ASSERT_EQ(w.set("/b", 4), 0);  // covered by none of them
    for (client* c : {&a, &ab, &two, &bad}) EXPECT_FALSE(c->readable());
    EXPECT_EQ(w.status("subscribers"), 4);
    EXPECT_EQ(w.status("pending"), 2);
    // The descriptor is readable exactly while a batch is pending.
    events ev;
    ASSERT_EQ(sub.get(ev) + sub.get(ev), 7);
    EXPECT_FALSE(sub.readable());
    // Batches written while the subscriber takes none, more than its channel's
    // socket holds and one larger than all of it, come whole and in order,
    // counted exactly as they are taken.
    constexpr int many = 5000, big_at = many / 2;
    const CElement big = of(std::string(4 << 20, 'b'));
    for (int i = 0; i < many; ++i)
        ASSERT_EQ(i == big_at ? w.req(CMD_SET_LEAF, {"/x"}, {big}) : w.set("/x", i), 0);
    for (int i = 0; i < many; ++i) {
        ASSERT_EQ(w.status("pending"), many - i);
        ASSERT_TRUE(sub.readable(5000) && sub.get(ev) == 1) << i;
        ASSERT_TRUE(i == big_at ? ev[0].value.same_value(big) : ev[0].value.get_int32() == i) << i;
    }
    EXPECT_FALSE(sub.readable());
    EXPECT_EQ(w.status("pending"), 0);
    // events_get waits for a batch, unless never subscribed.
    std::thread later([] { client().set("/late", 1); });
    EXPECT_EQ(sub.get(ev), 1);
    later.join();
    EXPECT_EQ(ev[0].path, "/late");
    EXPECT_LT(client().get(ev), 0);
    // Closing a handle wakes a thread waiting on it.
    int got = 1;
    std::thread waiter([&] { got = sub.get(ev); });
    vlt_close(sub.api.handle);
    waiter.join();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(vlt_get_fd(sub.api.handle), -1);
}

// Values, up to 64 MiB of them, and paths of 4096 components arrive whole, at
// their own instant (microseconds carried into the seconds) or stamped with
// the time of the change: seconds -1, node and clear events.
// A dump larger than one page is still one moment: a writer keeps setting the
// first and the last leaf of the tree to the same value in one request while
// whole-tree dumps run, and every dump shows the two equal.
TEST_F(Store, ADumpOfManyPagesIsOneMoment) {
    const std::string big = repeat("x", 1 << 20);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(w.req(CMD_SET_LEAF, {"/m/l" + std::to_string(i)}, {of(big)}), 0);
    ASSERT_EQ(w.req(CMD_SET_LEAF, {"/a", "/z"}, {i32(-1), i32(-1)}), 0);
    // Stopped and joined however the test ends.
    std::jthread writer([&](const std::stop_token& stop) {
        client c;
        for (int v = 0; !stop.stop_requested(); ++v)
            EXPECT_EQ(c.req(CMD_SET_LEAF, {"/a", "/z"}, {i32(v), i32(v)}), 0);
    });
    client r;
    std::vector<admin::dump_entry> entries;
    EXPECT_EQ(admin::dump(r.api.handle, {"/a", "/nope"}, false, entries), VLT_ENOENT);
    for (int i = 0; i < 20; ++i) {
        // The whole tree, or several subtrees in one request (a missing one left out).
        if (i % 2 == 0)
            ASSERT_EQ(admin::dump(r.api.handle, "/", entries), 0);
        else
            ASSERT_EQ(admin::dump(r.api.handle, {"/a", "/m", "/nope", "/z"}, true, entries), 0);
        ASSERT_EQ(entries.size(), 13u);
        EXPECT_EQ(entries.front().path + "=" + entries.front().value.to_string(),
                  "/a=" + entries.back().value.to_string());
    }
}

TEST_F(Store, ValuesAndTheirTimestamps) {
    const time_t before = time(nullptr) - 1;
    const auto stamped = [&](const toolkit::CEvent& e, data_type_t type) {
        const time_t t = e.value.timestamp().tv_sec;
        return e.value.type() == type && t >= before && t <= time(nullptr) + 1;
    };
    const auto us = [](const timeval& t) { return t.tv_sec * 1000000 + t.tv_usec; };
    const std::vector<CElement> v = {of("-1152921504606846976", DATATYPE_INT64, {5, 250}),
                                     of("18446744073709551615", DATATYPE_UINT64, {5, 1234567}),
                                     of("-0", DATATYPE_DOUBLE, {5, -1}),
                                     of("t\xc3\xa9xt\n", DATATYPE_STRING, {0, 0}),
                                     of("00ff", DATATYPE_BINARY, {7, 0}),
                                     of(std::string((64u << 20) - 1024, 'x'), DATATYPE_STRING, {1, 0})};
    const strings paths = {"/v/0", "/v/1", "/v/2", "/v/3", "/v/4", "/big"};
    ASSERT_EQ(w.req(CMD_SET_LEAF, paths, v), 0);
    events ev;
    ASSERT_EQ(sub.get(ev), 7);
    EXPECT_TRUE(stamped(ev[0], DATATYPE_NONE));
    for (size_t i = 0; i < v.size(); ++i) {
        const CElement& got = ev[i + 1].value;
        CElement stored;
        ASSERT_EQ(admin::get(w.api.handle, paths[i], stored), 0);
        EXPECT_TRUE(got.same_value(v[i]) && stored == got) << i;
        EXPECT_EQ(us(got.timestamp()), us(v[i].timestamp())) << i;
        EXPECT_TRUE(got.timestamp().tv_usec >= 0 && got.timestamp().tv_usec < 1000000) << i;
    }
    ASSERT_EQ(w.req(CMD_SET_LEAF, {"/v/2"}, {i32(9, {-1, 77})}) + w.req(CMD_CLEAR_LEAF, {"/v/1"}), 0);
    for (const data_type_t type : {DATATYPE_INT32, DATATYPE_NONE}) {
        ASSERT_EQ(sub.get(ev), 1);
        EXPECT_TRUE(stamped(ev[0], type)) << ev[0].path;
    }
    ASSERT_EQ(w.set(repeat("/a", 4096), 1), 0);
    ASSERT_EQ(sub.get(ev), 4096);
    EXPECT_EQ(ev.back().path, repeat("/a", 4096));
    EXPECT_EQ(w.status("nodes"), 4095 + 1);
}

// A failpoint fails the next COUNT calls of its op from any client with its code (even 0), changing nothing.
TEST_F(Store, Failpoints) {
    client other;
    const vlt_handle_t h = w.api.handle;
    for (const int code : {42, 0}) {
        ASSERT_EQ(admin::failpoint_set(h, "set_leaves", code, 2), 0);
        EXPECT_EQ(other.set("/v", 5) + w.set("/v", 5), 2 * code);
        EXPECT_EQ(w.st, std::vector<api_status_t>{code});
        EXPECT_EQ(w.dump(), "");
        EXPECT_FALSE(sub.readable());
    }
    EXPECT_EQ(w.set("/v", 5), 0);
    EXPECT_EQ(sub.batch(), "set /v");
    for (const int code : {0, 7}) {
        ASSERT_EQ(admin::failpoint_set(h, "register", code, 1), 0);
        EXPECT_EQ(other.sub(), code);
        EXPECT_EQ(other.registered, 0);
        EXPECT_EQ(w.status("subscribers"), 1);
    }
    EXPECT_EQ(other.sub(), 0);
    EXPECT_EQ(other.registered, 1);
    EXPECT_EQ(admin::failpoint_set(h, "bogus", 1, 1), VLT_EINVAL);
    EXPECT_EQ(admin::failpoint_set(h, "events_get", 3, 1), VLT_EINVAL);
    EXPECT_EQ(admin::failpoint_set(h, "add_nodes", 3, 0), VLT_EINVAL);
    // A fetch failpoint hits every current subscriber ahead of its batches and leaves it as it was.
    ASSERT_EQ(w.set("/x", 1), 0);
    ASSERT_EQ(admin::failpoint_set(h, "events_get", -5, 1), 0);
    client late;  // subscribed after the failpoint: not affected
    ASSERT_EQ(late.sub() + w.set("/x", 2), 0);
    events ev;
    for (client* s : {&sub, &other}) {
        EXPECT_EQ(s->get(ev), -5);
        EXPECT_EQ(s->get(ev), 1);
        EXPECT_EQ(ev[0].value.get_int32(), 1);
        EXPECT_EQ(s->get(ev), 1);
        EXPECT_FALSE(s->readable());
    }
    EXPECT_EQ(late.batch(), "set /x");
    // With nothing pending the descriptor turns readable for the failure alone;
    // once cleared nothing is left, whether failures were taken (sub) or not (other).
    ASSERT_EQ(admin::failpoint_set(h, "events_get", -9, -1), 0);
    EXPECT_TRUE(sub.readable() && other.readable());
    EXPECT_EQ(sub.get(ev) + sub.get(ev), -18);
    EXPECT_EQ(w.status("pending"), 0);
    ASSERT_EQ(admin::failpoint_clear(h) + w.set("/x", 3), 0);
    for (client* s : {&sub, &other}) {
        EXPECT_EQ(s->get(ev), 1);
        EXPECT_EQ(ev[0].value.get_int32(), 3);
        EXPECT_FALSE(s->readable());
    }
}

std::string frame(std::string_view payload) {
    std::string f;
    wire::writer(f).u32(uint32_t(payload.size()));
    return f.append(payload);
}
std::string get_frame(const std::string& path) {
    std::string p(1, char(wire::msg::get));
    wire::writer(p).str(path);
    return frame(p);
}
// A connection that has sent `bytes`; reads and writes give up after 5 s.
velt::unique_fd raw_connect(const std::string& path, const std::string& bytes = "") {
    velt::unique_fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un a{.sun_family = AF_UNIX, .sun_path = {}};
    memcpy(a.sun_path, path.data(), path.size());
    EXPECT_EQ(connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    const timeval tv{5, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    EXPECT_EQ(send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    return fd;
}
// The answers' payloads until the store closes the connection; nothing if it has not within 5 s.
std::optional<strings> answers(const velt::unique_fd& fd) {
    wire::frame_decoder dec;
    strings out;
    char buf[65536];
    ssize_t n = 0;
    while ((n = recv(fd.get(), buf, sizeof buf, 0)) > 0) dec.append(buf, size_t(n));
    for (std::string_view p; dec.next(p) == wire::frame_decoder::result::frame;) out.emplace_back(p);
    return n < 0 ? std::nullopt : std::optional(out);
}

// A client sending garbage is dropped alone. All requests before a half close
// are answered, even more than the daemon holds unsent; a partial one is dropped.
TEST_F(Store, HostileAndHalfClosedClients) {
    const std::string hello = wire::hello_frame(), ping(1, char(wire::msg::ping));
    std::string over;
    wire::writer(over).u32(uint32_t(wire::max_payload + 1));
    const strings hostile = {
        "GET / HTTP/1.0\r\n\r\n", frame(ping), hello + over + "junk", hello + frame(ping + "x"),
        // A count beyond the frame; a value of an unknown type.
        hello + frame(char(wire::msg::add_nodes) + std::string(4, '\0') + std::string("\xff\xff\xff\x0f", 4)),
        hello + frame(char(wire::msg::set_leaves) + std::string(5, '\0') +
                      std::string("\x01\0\0\0\x02\0\0\0/a", 10) + '\x63' + std::string(17, '\0'))};
    for (const auto& bytes : hostile) {
        SCOPED_TRACE(bytes);
        EXPECT_TRUE(answers(raw_connect(d.socket(), bytes)));
        EXPECT_EQ(w.set("/k", 1), 0);
        EXPECT_EQ(sub.batch(), "set /k");
    }
    const size_t big = size_t(2) << 20;
    ASSERT_EQ(w.req(CMD_SET_LEAF, {"/big"}, {of(std::string(big, 'b'))}), 0);
    const std::string get = get_frame("/big");
    auto s = raw_connect(d.socket(), hello + repeat(get, 3) + get_frame("/no") + get.substr(0, 6));
    ASSERT_EQ(shutdown(s.get(), SHUT_WR), 0);
    const auto got = answers(s);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 5u);  // the hello's, three values and a missing path's
    for (int i = 1; i <= 3; ++i) EXPECT_GT((*got)[i].size(), big);
    EXPECT_EQ(wire::reader(std::string_view((*got)[4]).substr(1)).i32(), VLT_ENOENT);
}

// Clients that misbehave at length are dropped alone and at a bounded cost:
// one that stops reading its answers, or stops mid-frame, once stalled; a
// subscriber that stops taking its batches at 64 MiB of them, not before,
// while the others go on. One that merely leaves batches pending, or leaves
// mid-frame, blocks no one.
TEST(StoreRobustness, StalledAndLaggingClientsAreDropped) {
    store d({"--stall-timeout", "200"});
    client w, lazy, keen, steady;
    ASSERT_EQ(w.req(CMD_ADD_NODE, {"/keen"}), 0);
    ASSERT_EQ(lazy.sub() + keen.sub("/keen") + steady.sub("/flood"), 0);
    const std::string hello = wire::hello_frame();
    ASSERT_EQ(w.req(CMD_SET_LEAF, {"/big"}, {of(std::string(4 << 20, 'z'))}), 0);
    const std::string many = hello + repeat(get_frame("/big"), 100);
    auto half = raw_connect(d.socket(), hello.substr(0, 7)), deaf = raw_connect(d.socket());
    raw_connect(d.socket(), hello.substr(0, 5));
    // Sent until the store stops reading or drops the connection.
    send(deaf.get(), many.data(), many.size(), MSG_NOSIGNAL);
    // Others are served meanwhile, and the daemon did not buffer 400 MiB.
    EXPECT_EQ(w.set("/keen/x", 2), 0);
    EXPECT_LT(harness::proc_status(d.pid(), "VmHWM"), 100 * 1024);
    EXPECT_TRUE(answers(half));
    EXPECT_TRUE(harness::wait_until([&] { return w.status("clients") == 4; }, 5000));
    EXPECT_EQ(keen.batch(), "set /keen/x");
    EXPECT_EQ(lazy.batch(), "set /big");
    // Far more than the 64 MiB a subscriber may fall behind.
    const CElement mib = of(std::string(1 << 20, 'v'));
    for (int i = 0; i < 160; ++i) {
        const std::string path = "/flood/" + std::to_string(i % 4);
        ASSERT_EQ(w.req(CMD_SET_LEAF, {path}, {mib}), 0);
        ASSERT_EQ(steady.batch(), (i == 0 ? "add /flood, set " : "set ") + path);
        if (i == 60) {
            EXPECT_EQ(w.status("subscribers"), 3);
        }
    }
    EXPECT_EQ(w.status("subscribers"), 2);
    events ev;
    EXPECT_TRUE(lazy.readable());
    EXPECT_EQ(lazy.get(ev), -1);
    EXPECT_EQ(w.set("/keen/x", 3), 0);
    EXPECT_EQ(keen.batch(), "set /keen/x");
    EXPECT_FALSE(keen.readable());
    // The daemon never held much more than the limit (ASan's quarantine hides that).
    EXPECT_GT(harness::proc_status(d.pid(), "VmHWM"), 0);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(harness::proc_status(d.pid(), "VmHWM"), 130 * 1024);
#endif
}

TEST_F(Store, SocketRulesAndSignals) {
    struct stat st;
    ASSERT_EQ(stat(d.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto veltd = [&] {
        return harness::run({VELTD_BIN, "--socket", d.socket()}, {.timeout_ms = 10000});
    };
    // A second daemon on the live socket is refused and leaves it alone.
    const auto second = veltd();
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already running"), std::string::npos);
    EXPECT_NE(client().api.handle, 0u);
    EXPECT_EQ(d.stop(SIGINT), 0);
    EXPECT_FALSE(harness::file_exists(d.socket()));
    // A socket file nobody answers on, left by a killed daemon, is replaced.
    d.start();
    d.stop(SIGKILL);
    ASSERT_TRUE(harness::file_exists(d.socket()));
    d.start();
    EXPECT_NE(client().api.handle, 0u);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    // Anything else at the path is not touched; bad arguments are refused.
    harness::write_file(d.socket(), "keep");
    EXPECT_EQ(veltd().status, 1);
    EXPECT_EQ(harness::read_file(d.socket()), "keep");
    EXPECT_EQ(harness::run({VELTD_BIN, "--bogus"}).status, 1);
    EXPECT_EQ(harness::run({VELTD_BIN, "--stall-timeout", "x"}).status, 1);
}

TEST_F(Store, OtherUsersAreRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    // The socket open to everyone, so that only the credential check stands in the way.
    const std::string dir = d.socket().substr(0, d.socket().rfind('/'));
    ASSERT_EQ(chmod(dir.c_str(), 0755) + chmod(d.socket().c_str(), 0666), 0);
    const auto nobody = harness::run(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", VELTCTL_BIN, "ping"},
        {.env = {d.env()}});
    EXPECT_EQ(nobody.err, "veltctl: cannot reach the store at " + d.socket() + "\n");
    EXPECT_NE(client().api.handle, 0u);
}

}  // namespace
