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
const strings texts = {"",           "plain",      "<&>\"'",          "tab\there", "line\nfeed",
                       "cr\rlf\r\n", "  padded  ", "Genève → Zürich", "]]>",       "&amp;"};

class workload {
public:
    explicit workload(unsigned seed) : m_rng(seed) {}

    std::string node_path() {
        std::string p;
        size_t depth = 1 + pick(3);
        for (size_t i = 0; i < depth; ++i) p += "/" + node_names[pick(3 + i * 2)];
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
        size_t n = 1 + pick(4);
        size_t kind = pick(20);
        for (size_t i = 0; i < n; ++i) paths.push_back(kind < 2 ? node_path() : leaf_path());
        switch (kind) {
            case 0: api.add_nodes(paths, statuses, ""); break;
            case 1: api.remove_nodes({paths[0]}, statuses, ""); break;
            case 2:
            case 3: api.clear_leaves(paths, statuses, ""); break;
            default: {
                std::vector<toolkit::CElement> values;
                for (size_t i = 0; i < n; ++i) values.push_back(value());
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

TEST(RoundTrip, ReplayRebuildsTheCapturedTree) {
    const struct {
        unsigned seed;
        int requests;
    } runs[] = {{20261206, 600}, {1, 300}, {2, 300}, {3, 300}};
    for (const auto& r : runs) {
        SCOPED_TRACE("seed " + std::to_string(r.seed));
        harness::private_store source;
        harness::capture cap(source);
        ASSERT_TRUE(cap.ready()) << cap.proc().err();
        source.use_in_process();
        toolkit::CVelt api;
        api.handle = vlt_init();
        ASSERT_NE(api.handle, 0u);
        workload w(r.seed);
        for (int i = 0; i < r.requests; ++i) w.step(api);
        ASSERT_EQ(cap.stop(SIGINT), 0) << cap.proc().err();
        EXPECT_EQ(cap.proc().err(), "");
        EXPECT_GT(source.status_value("leaves"), 20) << "the workload should leave a sizeable tree";

        // Without -t the store stamps the leaves anew: the data is equal, the
        // times are not. With -t the leaves keep the source store's times.
        for (const bool keep_times : {false, true}) {
            harness::private_store target;
            const harness::strings args = keep_times ? harness::strings{"-t"} : harness::strings{};
            const harness::result res = harness::replay(target, cap.log(), args);
            ASSERT_EQ(res.status, 0) << res.err;
            EXPECT_EQ(res.err, "");
            EXPECT_EQ(target.dump(keep_times), source.dump(keep_times));
        }
    }
}

}  // namespace
