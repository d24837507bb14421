// Event records: ordering, copies that are deep and keep timestamps, moves
// that hand over storage instead of copying it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rorezuredi.h"

namespace {

// Longer than any small-string buffer, so that its data lives on the heap.
const std::string long_path = "/interfaces/ethernet/" + std::string(64, 'x');

event_instance_t make_event(const std::string& path, const std::string& text, long sec, long usec) {
    event_instance_t ev;
    ev.path = path;
    ev.type = DATATYPE_STRING;
    ev.value.set_string(text);
    ev.value.timestamp() = timeval{sec, usec};
    return ev;
}

event_batch_t make_batch(long sec, long nsec, api_cmd_t cmd, int n_events) {
    event_batch_t b;
    b.time = timespec{sec, nsec};
    b.cmd = cmd;
    for (int i = 0; i < n_events; ++i)
        b.events.push_back(
            make_event(long_path + std::to_string(i), std::string(80, 'v'), i == 1 ? -1 : 100 + i, i));
    return b;
}

TEST(EventBatch, OrderComparesSecondsThenNanoseconds) {
    const long rows[][5] = {{4, 999999999, 5, 0, true}, {5, 0, 4, 999999999, false}, {5, 0, 5, 1, true},
                            {5, 1, 5, 0, false},        {5, 7, 5, 7, false},         {-1, 500, 0, 0, true}};
    for (const auto& r : rows)
        EXPECT_EQ(make_batch(r[0], r[1], CMD_ADD_NODE, 0) < make_batch(r[2], r[3], CMD_ADD_NODE, 0),
                  bool(r[4]))
            << r[0] << "." << r[1] << " < " << r[2] << "." << r[3];
}

TEST(EventBatch, SortAscendsAndMovesStorage) {
    const long times[][2] = {{3, 0}, {0, 500}, {5, 1}, {0, 0}, {4, 999999999}, {5, 0}, {1, 250000000}};
    std::vector<event_batch_t> batches;
    for (const auto& t : times) batches.push_back(make_batch(t[0], t[1], CMD_SET_LEAF, 2));
    std::vector<const event_instance_t*> storage;  // indexed by position in `times`
    for (const event_batch_t& b : batches) storage.push_back(b.events.data());

    sort_batches(batches);

    for (size_t i = 0; i < batches.size(); ++i) {
        if (i > 0) {
            EXPECT_TRUE(batches[i - 1] < batches[i]) << "position " << i;
        }
        // Each batch's events travel with it: same storage, nothing copied.
        for (size_t k = 0; k < std::size(times); ++k) {
            if (times[k][0] == batches[i].time.tv_sec && times[k][1] == batches[i].time.tv_nsec) {
                EXPECT_EQ(batches[i].events.data(), storage[k]) << "position " << i;
            }
        }
    }
}

TEST(EventBatch, CopiesAreDeepExactlySizedAndKeepTimestamps) {
    const event_batch_t src = make_batch(3, 20500, CMD_SET_LEAF, 3);  // the second event has no time
    const event_batch_t copy(src);
    EXPECT_EQ(copy.time.tv_sec, 3);
    EXPECT_EQ(copy.time.tv_nsec, 20500);
    EXPECT_EQ(copy.cmd, CMD_SET_LEAF);
    ASSERT_EQ(copy.events.size(), 3u);
    EXPECT_EQ(copy.events.capacity(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const event_instance_t one(src.events[i]);
        for (const event_instance_t* c : {&copy.events[i], &one}) {
            EXPECT_EQ(c->path, src.events[i].path);
            EXPECT_NE(c->path.data(), src.events[i].path.data());
            EXPECT_EQ(c->type, DATATYPE_STRING);
            EXPECT_TRUE(c->value == src.events[i].value);  // type, payload and timestamp
            EXPECT_NE(c->value.get_bytes().data(), src.events[i].value.get_bytes().data());
        }
        EXPECT_EQ(one.value.timestamp().tv_sec, i == 1 ? -1 : 100 + long(i));
    }
}

TEST(EventInstance, MovesHandOverPathAndValue) {
    event_instance_t src = make_event(long_path, std::string(100, 'v'), 42, 7);
    const char* path_data = src.path.data();
    const char* value_data = src.value.get_bytes().data();

    event_instance_t moved(std::move(src));
    EXPECT_EQ(moved.path.data(), path_data);
    EXPECT_EQ(moved.value.get_bytes().data(), value_data);
    EXPECT_EQ(moved.type, DATATYPE_STRING);
    EXPECT_EQ(moved.value.timestamp().tv_sec, 42);
    EXPECT_EQ(moved.value.timestamp().tv_usec, 7);
    EXPECT_TRUE(src.path.empty());
}

TEST(EventBatch, MovesLeaveTheSourceWithoutEvents) {
    event_batch_t src = make_batch(2, 5, CMD_CLEAR_LEAF, 4);
    const event_instance_t* storage = src.events.data();
    event_batch_t moved(std::move(src));
    EXPECT_EQ(moved.events.data(), storage);
    EXPECT_EQ(moved.cmd, CMD_CLEAR_LEAF);
    EXPECT_EQ(moved.time.tv_nsec, 5);
    EXPECT_TRUE(src.events.empty());
    EXPECT_EQ(src.events.capacity(), 0u);

    // Move assignment hands over the source's events too.
    event_batch_t dst = make_batch(1, 1, CMD_ADD_NODE, 5);
    dst = std::move(moved);
    EXPECT_EQ(dst.cmd, CMD_CLEAR_LEAF);
    EXPECT_EQ(dst.events.data(), storage);
    EXPECT_TRUE(moved.events.empty());
}

}  // namespace
