// A seeded random workload against the store: every request kind and value
// type, nested paths, removals of whole subtrees, texts with XML-reserved
// characters, tabs, line feeds, carriage returns and non-ASCII text, and
// requests the store refuses. Shared by the tests that capture it.
#ifndef TEST_WORKLOAD_H
#define TEST_WORKLOAD_H

#include <velt++.h>

#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace harness {

using std::string;

inline const strings node_names = {"eth0", "a&b", "x<y>", "q\"uote", "it's", "tab\there", "Zürich", "日本"};
inline const strings leaf_names = {"mtu", "lf\nname", "cr\rname", "plain", "speed", "naïve", "a b", "&lt;"};
inline const strings texts = {"",           "plain",      "<&>\"'",          "tab\there", "line\nfeed",
                              "cr\rlf\r\n", "  padded  ", "Genève → Zürich", "]]>",       "&amp;"};

struct workload {
    std::mt19937_64 rng;

    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
    string bytes(size_t n) {
        string b;
        while (b.size() < n) b.push_back(char(rng()));
        return b;
    }
    string node_path() {
        string p;
        for (size_t i = 0, depth = 1 + pick(3); i < depth; ++i) p += "/" + node_names[pick(3 + i * 2)];
        return p;
    }
    // Leaves and nodes have separate names, so that most requests succeed;
    // now and then a leaf is aimed at a node, which the store refuses whole.
    string leaf_path() { return pick(40) == 0 ? node_path() : node_path() + "/" + leaf_names[pick(8)]; }

    toolkit::CElement value() {
        toolkit::CElement v;
        switch (pick(11)) {
            case 0: v.set_bool(pick(2) == 1); break;
            case 1: v.set_int32(int32_t(rng())); break;
            case 2: v.set_uint32(uint32_t(rng())); break;
            case 3: v.set_int64(int64_t(rng())); break;
            case 4: v.set_uint64(rng()); break;
            case 5: v.set_string(texts[pick(texts.size())]); break;
            case 6: v.set_double(pick(4) == 0 ? -0.0 : double(int(rng())) / 7.0); break;
            case 7: v.set_bytes(DATATYPE_IPV4, bytes(4)); break;
            case 8: v.set_bytes(DATATYPE_IPV6, bytes(16)); break;
            case 9: v.set_bytes(DATATYPE_MAC, bytes(6)); break;
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
        std::vector<toolkit::CElement> values;
        const size_t n = 1 + pick(4), kind = pick(20);
        for (size_t i = 0; i < n; ++i) paths.push_back(kind < 2 ? node_path() : leaf_path());
        for (size_t i = 0; i < n && kind >= 4; ++i) values.push_back(value());
        switch (kind) {
            case 0: api.add_nodes(paths, statuses, ""); break;
            case 1: api.remove_nodes({paths[0]}, statuses, ""); break;
            case 2:
            case 3: api.clear_leaves(paths, statuses, ""); break;
            default: api.set_leaves(paths, values, std::vector<vlt_tribool_t>(n, VLT_UNSET), statuses, "");
        }
    }
};

}  // namespace harness

#endif
