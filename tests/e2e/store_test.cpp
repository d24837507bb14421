// The store through its client libraries: request outcomes, all-or-nothing
// failures, events and their batches, subscriptions, timestamps, failpoints,
// status counts and the notification descriptor.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "store_support.h"

namespace {

using namespace store_test;
using toolkit::CElement;
using toolkit::CEvent;

std::string joined(const strings& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// One request of the table, run on a store holding `seeded`.
struct request_case {
    const char* name;
    api_cmd_t cmd;
    strings paths;
    std::vector<CElement> values;  // CMD_SET_LEAF only
    int code;
    std::vector<api_status_t> statuses;
    const char* dump;  // after the request; nullptr: unchanged
};

const std::string seeded = "node /n\nleaf /n/leaf 1\nnode /n/sub\n";

TEST(StoreRequests, OutcomesAndAllOrNothing) {
    CElement none;
    none.set_none();
    const api_cmd_t ADD = CMD_ADD_NODE, REM = CMD_REMOVE_NODE, SET = CMD_SET_LEAF, CLR = CMD_CLEAR_LEAF;
    const std::vector<request_case> cases = {
        {"add creates ancestors",
         ADD,
         {"/a/b", "//c/"},
         {},
         0,
         {0, 0},
         "node /a\nnode /a/b\nnode /c\nnode /n\nleaf /n/leaf 1\nnode /n/sub\n"},
        {"add of an existing node changes nothing", ADD, {"/n"}, {}, 0, {0}, nullptr},
        {"add over a leaf", ADD, {"/x", "/n/leaf"}, {}, 2, {0, 2}, nullptr},
        {"add under a leaf", ADD, {"/n/leaf/x"}, {}, 2, {2}, nullptr},
        {"root is no target", ADD, {"/x", "/"}, {}, 1, {0, 1}, nullptr},
        {"control character", ADD, {"/x", "/a\tb"}, {}, 1, {0, 1}, nullptr},
        {"remove of a leaf", REM, {"/n/sub", "/n/leaf"}, {}, 2, {0, 2}, nullptr},
        {"remove of a missing node", REM, {"/zz", "/n/leaf/q"}, {}, 0, {0, 0}, nullptr},
        {"remove takes the subtree", REM, {"/n"}, {}, 0, {0}, ""},
        {"clear of a node", CLR, {"/n/leaf", "/n/sub"}, {}, 2, {0, 2}, nullptr},
        {"clear of a missing leaf", CLR, {"/n/nope"}, {}, 0, {0}, nullptr},
        {"clear", CLR, {"/n/leaf"}, {}, 0, {0}, "node /n\nnode /n/sub\n"},
        {"set over a node", SET, {"/n/sub"}, {int32(3)}, 2, {2}, nullptr},
        {"set under a leaf", SET, {"/y", "/n/leaf/z"}, {int32(1), int32(2)}, 2, {0, 2}, nullptr},
        {"set then set under it", SET, {"/p", "/p/q"}, {int32(1), int32(2)}, 2, {0, 2}, nullptr},
        {"set of a none value", SET, {"/y"}, {none}, 1, {1}, nullptr},
        {"set of a string the store refuses", SET, {"/y"}, {text("a\x01")}, 1, {1}, nullptr},
        {"set with seconds below -1", SET, {"/y"}, {int32(1, -2)}, 1, {1}, nullptr},
        {"set with fewer values than paths", SET, {"/y", "/z"}, {int32(1)}, 1, {1, 1}, nullptr},
        // Every flag value and a trailing string go with a set; neither may matter.
        {"set replaces and creates",
         SET,
         {"/n/leaf", "/n/new/v", "/f"},
         {int32(7), text("t"), int32(1)},
         0,
         {0, 0, 0},
         "leaf /f 1\nnode /n\nleaf /n/leaf 7\nnode /n/new\nleaf /n/new/v t\nnode /n/sub\n"}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        store_daemon d;
        client w, sub;
        ASSERT_EQ(w.add({"/n/sub"}), 0);
        ASSERT_EQ(w.set("/n/leaf", 1), 0);
        ASSERT_EQ(sub.subscribe(), 0);
        EXPECT_EQ(w.request(tc.cmd, tc.paths, tc.values), tc.code);
        EXPECT_EQ(w.statuses, tc.statuses);
        const std::string want = tc.dump == nullptr ? seeded : tc.dump;
        EXPECT_EQ(joined(w.dump()), want);
        // Subscribers hear of a change exactly when the tree changed.
        const bool changed = want != seeded;
        EXPECT_EQ(sub.readable(), changed);
        EXPECT_EQ(w.status("pending"), changed ? 1 : 0);
    }
}

TEST(StoreRequests, OversizedRequestIsRefusedWhole) {
    store_daemon d;
    client w, sub;
    ASSERT_EQ(sub.subscribe(), 0);
    std::string big(64u << 20, 'x');
    EXPECT_EQ(w.set({"/big"}, {text(big)}), 1);
    EXPECT_EQ(w.statuses, std::vector<api_status_t>{1});
    // Just under the bound goes through, and reaches the subscriber whole.
    big.resize((64u << 20) - 1024);
    EXPECT_EQ(w.set({"/big"}, {text(big)}), 0);
    std::vector<CEvent> events;
    ASSERT_EQ(sub.get(events), 1);
    EXPECT_EQ(events[0].value.get_bytes().size(), big.size());
    EXPECT_FALSE(sub.readable());
}

TEST(StoreRequests, DeepPaths) {
    store_daemon d;
    client w, sub;
    ASSERT_EQ(sub.subscribe("/a/a"), 0);
    std::string deepest;
    for (int i = 0; i < 4096; ++i) deepest += "/a";
    EXPECT_EQ(w.add({deepest + "/a"}), 1);
    EXPECT_EQ(w.set({deepest}, {int32(1)}), 0);
    EXPECT_EQ(w.status("nodes"), 4095);
    std::vector<CEvent> events;
    ASSERT_EQ(sub.get(events), 4095);  // all but /a itself
    EXPECT_EQ(events.back().path, deepest);
    EXPECT_EQ(w.dump().size(), 4096u);
    EXPECT_EQ(w.remove({"/a"}), 0);
    EXPECT_EQ(w.status("leaves"), 0);
    EXPECT_EQ(w.status("nodes"), 0);
}

TEST(StoreEvents, OrderWithinBatches) {
    store_daemon d;
    client w, sub;
    ASSERT_EQ(sub.subscribe(), 0);
    ASSERT_EQ(w.set({"/a/b/c", "/a/x", "/d"}, {int32(1), int32(2), int32(3)}), 0);
    ASSERT_EQ(w.add({"/a/b/n1", "/a/b/n1/deep/er"}), 0);
    ASSERT_EQ(w.add({"/a"}), 0);  // nothing new: no batch
    ASSERT_EQ(w.remove({"/a/b", "/a/zz", "/d/q"}), 0);
    ASSERT_EQ(w.clear({"/a/x", "/d", "/d"}), 0);
    ASSERT_EQ(w.remove({"/a"}), 0);
    EXPECT_EQ(sub.batch(), (strings{"add /a", "add /a/b", "set /a/b/c", "set /a/x", "set /d"}));
    EXPECT_EQ(sub.batch(), (strings{"add /a/b/n1", "add /a/b/n1/deep", "add /a/b/n1/deep/er"}));
    EXPECT_EQ(sub.batch(), (strings{"remove /a/b"}));
    EXPECT_EQ(sub.batch(), (strings{"clear /a/x", "clear /d"}));
    EXPECT_EQ(sub.batch(), (strings{"remove /a"}));
    EXPECT_FALSE(sub.readable());
    EXPECT_EQ(w.status("pending"), 0);
}

TEST(StoreEvents, SubscriptionPrefixesRestrictBatches) {
    store_daemon d;
    client w, a, ab, two;
    ASSERT_EQ(a.subscribe("/a"), 0);
    EXPECT_EQ(a.last_register_status, 1);
    ASSERT_EQ(ab.subscribe("/ab/"), 0);
    ASSERT_EQ(two.subscribe("/a/x"), 0);
    ASSERT_EQ(two.subscribe("/ab"), 0);
    ASSERT_EQ(w.set({"/ab/1", "/a/x/2", "/a"}, {int32(1), int32(2), int32(3)}), 2);
    ASSERT_EQ(w.set({"/ab/1", "/a/x/2", "/b"}, {int32(1), int32(2), int32(3)}), 0);
    EXPECT_EQ(a.batch(), (strings{"add /a", "add /a/x", "set /a/x/2"}));
    EXPECT_EQ(ab.batch(), (strings{"add /ab", "set /ab/1"}));
    EXPECT_EQ(two.batch(), (strings{"add /ab", "set /ab/1", "add /a/x", "set /a/x/2"}));
    ASSERT_EQ(w.set("/b", 4), 0);  // covered by no one
    for (client* c : {&a, &ab, &two}) EXPECT_FALSE(c->readable());
    EXPECT_EQ(w.status("subscribers"), 3);
    EXPECT_EQ(w.status("pending"), 0);
    // A bad subscription path is refused and subscribes nothing.
    client bad;
    EXPECT_EQ(bad.subscribe("/a\n"), 1);
    EXPECT_EQ(bad.last_register_status, 0);
    EXPECT_EQ(w.status("subscribers"), 3);
}

TEST(StoreEvents, TwoWritersTwoSubscribersSeeOneOrder) {
    store_daemon d;
    client s1, s2;
    ASSERT_EQ(s1.subscribe(), 0);
    ASSERT_EQ(s2.subscribe(), 0);
    constexpr int per_writer = 200;
    auto write = [](const std::string& name) {
        client w;
        for (int i = 0; i < per_writer; ++i)
            ASSERT_EQ(w.set({"/" + name + "/" + std::to_string(i)}, {int32(i)}), 0);
    };
    std::thread t1(write, "w1"), t2(write, "w2");
    // Each subscriber takes batches while the writers run.
    auto collect = [](client& s, strings& out) {
        while (out.size() < 2 * per_writer + 2)
            for (auto& line : s.batch()) out.push_back(line);
    };
    strings seen1, seen2;
    std::thread r1(collect, std::ref(s1), std::ref(seen1));
    std::thread r2(collect, std::ref(s2), std::ref(seen2));
    t1.join();
    t2.join();
    r1.join();
    r2.join();
    EXPECT_EQ(seen1, seen2);
    // Each writer's own changes stay in its order.
    for (const std::string name : {"w1", "w2"}) {
        int next = 0;
        for (const auto& line : seen1) {
            if (line.rfind("set /" + name + "/", 0) == 0) {
                EXPECT_EQ(line, "set /" + name + "/" + std::to_string(next++));
            }
        }
        EXPECT_EQ(next, per_writer);
    }
    EXPECT_FALSE(s1.readable());
}

// Values cross to subscribers and into the tree unchanged.
// Their timestamps are kept, with microseconds out of range carried into
// the seconds; a value without one is stamped with the time of the change.
TEST(StoreEvents, ValuesAndTheirTimestamps) {
    store_daemon d;
    client w, sub;
    ASSERT_EQ(sub.subscribe(), 0);
    const time_t before = time(nullptr) - 1;
    std::vector<CElement> values(7);
    values[0].set_bool(true);
    values[1].set_int64(-(int64_t(1) << 60));
    values[2].set_uint64(~uint64_t(0));
    values[3].set_double(-0.0);
    values[4].set_string("t\xc3\xa9xt\n");
    values[5].set_bytes(DATATYPE_IPV6, std::string(16, '\x20'));
    values[6].set_bytes(DATATYPE_BINARY, std::string("\x00\xff", 2));
    // Sent time -> time kept; seconds -1: stamped by the store.
    const timeval sent[] = {{5, 250}, {5, 1234567}, {5, -1}, {-1, 77}};
    const timeval kept[] = {{5, 250}, {6, 234567}, {4, 999999}, {-1, 0}};
    strings paths;
    for (size_t i = 0; i < values.size(); ++i) {
        values[i].timestamp() = i < 4 ? sent[i] : timeval{100 + time_t(i), 5};
        paths.push_back("/v/" + std::to_string(i));
    }
    ASSERT_EQ(w.set(paths, values), 0);
    std::vector<CEvent> events;
    ASSERT_EQ(sub.get(events), int(values.size()) + 1);
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(i);
        const CElement& got = events[i + 1].value;
        EXPECT_TRUE(got.same_value(values[i]));
        const timeval want = i < 4 ? kept[i] : values[i].timestamp();
        if (want.tv_sec == -1) {
            EXPECT_GE(got.timestamp().tv_sec, before);
            EXPECT_LE(got.timestamp().tv_sec, time(nullptr) + 1);
        } else {
            EXPECT_EQ(got.timestamp().tv_sec, want.tv_sec);
            EXPECT_EQ(got.timestamp().tv_usec, want.tv_usec);
        }
        CElement stored;  // with the same time as its event
        ASSERT_EQ(velt::admin::get(w.api.handle, paths[i], stored), 0);
        EXPECT_TRUE(stored == got);
    }

    // A writer that forces automatic times overrides the value's own.
    CElement::_forced_auto_time = true;
    const int rc = w.set({"/v/1"}, {int32(9, 5, 0)});
    CElement::_forced_auto_time = false;
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(sub.get(events), 1);
    EXPECT_GE(events[0].value.timestamp().tv_sec, before);

    // Node and clear events carry a none value stamped with the change.
    ASSERT_EQ(w.clear({"/v/1"}), 0);
    ASSERT_EQ(sub.get(events), 1);
    EXPECT_EQ(events[0].value.type(), DATATYPE_NONE);
    EXPECT_GE(events[0].value.timestamp().tv_sec, before);
}

TEST(StoreNotify, DescriptorReadableExactlyWhilePending) {
    store_daemon d;
    client w, sub;
    ASSERT_EQ(sub.subscribe(), 0);
    EXPECT_FALSE(sub.readable());
    // Many more batches than a socket buffer holds doorbell bytes.
    constexpr int many = 5000;
    for (int i = 0; i < many; ++i) ASSERT_EQ(w.set("/x", i), 0);
    EXPECT_EQ(w.status("pending"), many);
    for (int i = 0; i < many; ++i) {
        if (i % 1000 == 0) {
            EXPECT_EQ(w.status("pending"), many - i);
        }
        ASSERT_TRUE(sub.readable()) << i;
        std::vector<CEvent> events;
        ASSERT_EQ(sub.get(events), 1);
        ASSERT_EQ(events[0].value.get_int32(), i);
    }
    EXPECT_FALSE(sub.readable());

    // events_get blocks until a batch arrives.
    std::thread later([] {
        client w2;
        w2.set("/late", 1);
    });
    std::vector<CEvent> events;
    EXPECT_EQ(sub.get(events), 1);
    later.join();
    EXPECT_EQ(events[0].path, "/late");
}

TEST(StoreNotify, LostConnection) {
    store_daemon d;
    client w, sub;
    ASSERT_EQ(sub.subscribe(), 0);
    d.stop(SIGKILL);
    EXPECT_TRUE(sub.readable(5000));
    std::vector<CEvent> events;
    EXPECT_EQ(sub.get(events), -1);
    EXPECT_EQ(w.add({"/a"}), -1);
    EXPECT_EQ(w.statuses, std::vector<api_status_t>{-1});
    EXPECT_EQ(velt::admin::ping(w.api.handle), -1);
    EXPECT_EQ(vlt_init(), 0u);
    // A request that never subscribed fails rather than waits.
    store_daemon again;
    client fresh;
    EXPECT_LT(fresh.get(events), 0);
    // Closing a handle wakes a thread waiting on it.
    ASSERT_EQ(fresh.subscribe(), 0);
    std::atomic<int> got = 1;
    std::thread waiter([&] {
        std::vector<CEvent> ev;
        got = fresh.get(ev);
    });
    vlt_close(fresh.api.handle);
    waiter.join();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(vlt_get_fd(fresh.api.handle), -1);
}

// ---- Failpoints -------------------------------------------------------------

// Each request's failpoint is judged by the replay's failing-request table;
// here the counting and codes, on one of them.
TEST(StoreFailpoints, CountsCodesAndNoChange) {
    store_daemon d;
    client w, sub, other;
    ASSERT_EQ(w.set("/n/v", 1), 0);
    ASSERT_EQ(sub.subscribe(), 0);
    const strings before = w.dump();
    // Two calls fail with the code, from any client; the third works.
    ASSERT_EQ(velt::admin::failpoint_set(w.api.handle, "set_leaves", 42, 2), 0);
    EXPECT_EQ(other.set("/n/v", 5), 42);
    EXPECT_EQ(other.statuses, std::vector<api_status_t>{42});
    EXPECT_EQ(w.set("/n/v", 5), 42);
    EXPECT_EQ(w.dump(), before);
    EXPECT_FALSE(sub.readable());
    EXPECT_EQ(w.set("/n/v", 5), 0);
    EXPECT_TRUE(sub.readable());
    // "always" lasts until cleared; a code of 0 is returned as is, changing nothing.
    ASSERT_EQ(velt::admin::failpoint_set(w.api.handle, "set_leaves", -1, -1), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(w.set("/n/v", 6), -1);
    ASSERT_EQ(velt::admin::failpoint_clear(w.api.handle), 0);
    ASSERT_EQ(velt::admin::failpoint_set(w.api.handle, "set_leaves", 0, 1), 0);
    const strings now = w.dump();
    EXPECT_EQ(w.set("/n/v", 7), 0);
    EXPECT_EQ(w.dump(), now);
}

TEST(StoreFailpoints, RegisterAndBadArguments) {
    store_daemon d;
    client w, s;
    vlt_handle_t h = w.api.handle;
    ASSERT_EQ(velt::admin::failpoint_set(h, "register", 0, 1), 0);
    EXPECT_EQ(s.subscribe(), 0);
    EXPECT_EQ(s.last_register_status, 0);
    EXPECT_EQ(w.status("subscribers"), 0);
    ASSERT_EQ(velt::admin::failpoint_set(h, "register", 7, 1), 0);
    EXPECT_EQ(s.subscribe(), 7);
    EXPECT_EQ(s.last_register_status, 0);
    EXPECT_EQ(s.subscribe(), 0);
    EXPECT_EQ(s.last_register_status, 1);
    EXPECT_EQ(velt::admin::failpoint_set(h, "bogus", 1, 1), VLT_EINVAL);
    EXPECT_EQ(velt::admin::failpoint_set(h, "events_get", 3, 1), VLT_EINVAL);
    EXPECT_EQ(velt::admin::failpoint_set(h, "add_nodes", 3, 0), VLT_EINVAL);
}

TEST(StoreFailpoints, EventsGet) {
    store_daemon d;
    client w, s1, s2;
    ASSERT_EQ(s1.subscribe(), 0);
    ASSERT_EQ(s2.subscribe(), 0);
    ASSERT_EQ(w.set("/x", 1), 0);
    ASSERT_EQ(velt::admin::failpoint_set(w.api.handle, "events_get", -5, 1), 0);
    client late;  // subscribed after the failpoint: not affected
    ASSERT_EQ(late.subscribe(), 0);
    ASSERT_EQ(w.set("/x", 2), 0);
    for (client* s : {&s1, &s2}) {
        std::vector<CEvent> events;
        EXPECT_TRUE(s->readable());
        EXPECT_EQ(s->get(events), -5);
        // The batches wait behind the failure and the subscription goes on.
        EXPECT_EQ(s->get(events), 1);
        EXPECT_EQ(events[0].value.get_int32(), 1);
        EXPECT_EQ(s->get(events), 1);
        EXPECT_FALSE(s->readable());
    }
    EXPECT_EQ(late.batch(), strings{"set /x"});

    // With nothing pending, the descriptor turns readable for the failure
    // alone, and a cleared failpoint leaves nothing behind: not for s1, which
    // has taken failures, nor for s2, which has taken none.
    ASSERT_EQ(velt::admin::failpoint_set(w.api.handle, "events_get", -9, -1), 0);
    std::vector<CEvent> events;
    EXPECT_TRUE(s1.readable());
    EXPECT_TRUE(s2.readable());
    EXPECT_EQ(s1.get(events), -9);
    EXPECT_EQ(s1.get(events), -9);
    EXPECT_EQ(w.status("pending"), 0);
    ASSERT_EQ(velt::admin::failpoint_clear(w.api.handle), 0);
    for (client* s : {&s1, &s2}) EXPECT_FALSE(s->readable());
    ASSERT_EQ(w.set("/x", 3), 0);
    for (client* s : {&s1, &s2}) {
        EXPECT_EQ(s->get(events), 1);
        EXPECT_EQ(events[0].value.get_int32(), 3);
        EXPECT_FALSE(s->readable());
    }
}

}  // namespace
