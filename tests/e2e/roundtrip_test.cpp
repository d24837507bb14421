// Round trip: whatever a store went through while it was captured, replaying
// the log into a fresh store gives the same tree; with -t the same leaf
// timestamps too. The workload is random but seeded, and holds every type,
// texts with XML-reserved characters, tabs, line feeds, carriage returns and
// non-ASCII text, removals of whole subtrees and requests the store refuses.
#include <gtest/gtest.h>
#include <velt++.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using strings = std::vector<std::string>;

const strings node_names = {"eth0", "a&b", "x<y>", "q\"uote", "it's", "tab\there", "Zürich", "日本"};
const strings leaf_names = {"mtu", "lf\nname", "cr\rname", "plain", "speed", "naïve", "a b", "&lt;"};
const strings texts = {"",          "plain",        "<&>\"'",     "tab\there", "line\nfeed",
                       "cr\rlf\r\n", "  padded  ", "Genève → Zürich", "]]>",      "&amp;"};

class workload {
public:
    explicit workload(unsigned seed) : m_rng(seed) {}

    std::string node_path() {
        std::string p;
        int depth = 1 + pick(3);
        for (int i = 0; i < depth; ++i) p += "/" + node_names[pick(3 + i * 2)];
        return p;
    }
    // Leaves and nodes have separate names, so that most requests succeed;
    // now and then a leaf is aimed at a node, which the store refuses whole.
    std::string leaf_path() { return pick(40) == 0 ? node_path() : node_path() + "/" + leaf_names[pick(8)]; }

    toolkit::CElement value() {
        toolkit::CElement v;
        switch (1 + pick(11)) {
            case 1: v.set_bool(pick(2) == 1); break;
            case 2: v.set_int32(int32_t(m_rng())); break;
            case 3: v.set_uint32(uint32_t(m_rng())); break;
            case 4: v.set_int64(int64_t(uint64_t(m_rng()) << 32 | m_rng())); break;
            case 5: v.set_uint64(uint64_t(m_rng()) << 32 | m_rng()); break;
            case 6: v.set_string(texts[pick(texts.size())]); break;
            case 7: v.set_double(pick(4) == 0 ? -0.0 : double(int(m_rng())) / 7.0); break;
            case 8: v.set_bytes(DATATYPE_IPV4, bytes(4)); break;
            case 9: v.set_bytes(DATATYPE_IPV6, bytes(16)); break;
            case 10: v.set_bytes(DATATYPE_MAC, bytes(6)); break;
            default: v.set_bytes(DATATYPE_BINARY, bytes(pick(9))); break;
        }
        // Some values carry their own timestamp, the others are stamped by the store.
        if (pick(2) == 0) v.timestamp() = timeval{1700000000 + long(pick(1000000)), long(pick(1000000))};
        return v;
    }

    // One request against the store; refused requests are part of the traffic too.
    void step(toolkit::CVelt& api) {
        std::vector<api_status_t> statuses;
        strings paths;
        int n = 1 + pick(4);
        int kind = pick(20);
        for (int i = 0; i < n; ++i) paths.push_back(kind < 2 ? node_path() : leaf_path());
        switch (kind) {
            case 0: api.add_nodes(paths, statuses, ""); break;
            case 1: api.remove_nodes({paths[0]}, statuses, ""); break;
            case 2: case 3: api.clear_leaves(paths, statuses, ""); break;
            default: {
                std::vector<toolkit::CElement> values;
                for (int i = 0; i < n; ++i) values.push_back(value());
                std::vector<vlt_tribool_t> flags(paths.size(), VLT_UNSET);
                api.set_leaves(paths, values, flags, statuses, "");
            }
        }
    }

private:
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
    std::string bytes(size_t n) {
        std::string b;
        for (size_t i = 0; i < n; ++i) b.push_back(char(m_rng()));
        return b;
    }
    std::mt19937 m_rng;
};

// Captures the given number of random requests from a fresh store into a log.
std::string capture_workload(const harness::temp_dir& dir, const harness::private_store& source, unsigned seed,
                             int requests) {
    std::string log = dir.file("capture.xml");
    harness::process capture({ROREZUREDI_BIN, "-f", log}, {.env = {source.env()}});
    EXPECT_TRUE(harness::wait_until([&] { return source.status_value("subscribers") == 1; }));

    source.use_in_process();
    toolkit::CVelt api;
    api.handle = vlt_init();
    EXPECT_NE(api.handle, 0u);
    workload w(seed);
    for (int i = 0; i < requests; ++i) w.step(api);

    EXPECT_TRUE(harness::wait_until([&] { return source.status_value("pending") == 0; }));
    capture.signal(SIGINT);
    EXPECT_EQ(capture.wait(), 0) << capture.err();
    EXPECT_EQ(capture.err(), "");
    return log;
}

TEST(RoundTrip, ReplayRebuildsTheCapturedTree) {
    harness::temp_dir dir;
    harness::private_store source;
    std::string log = capture_workload(dir, source, 20261206, 600);
    ASSERT_GT(source.status_value("leaves"), 20) << "the workload should leave a sizeable tree";

    // Without -t the store stamps the leaves anew: the data is equal, the times are not.
    harness::private_store plain;
    harness::result r = harness::run({ROREZUREDI_BIN, "-l", log}, {.env = {plain.env()}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(plain.dump(), source.dump());

    // With -t the leaves keep the timestamps the source store gave them.
    harness::private_store timed;
    r = harness::run({ROREZUREDI_BIN, "-t", "-l", log}, {.env = {timed.env()}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(timed.dump(true), source.dump(true));
}

TEST(RoundTrip, SeveralSeedsWithTimestamps) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        harness::temp_dir dir;
        harness::private_store source;
        std::string log = capture_workload(dir, source, seed, 300);
        harness::private_store target;
        harness::result r = harness::run({ROREZUREDI_BIN, "-t", "-l", log}, {.env = {target.env()}});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(target.dump(true), source.dump(true));
    }
}

}  // namespace
