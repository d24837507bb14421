// Event filter: path prefixes (byte-wise, include side first) and the
// attribute stage that only leaf commands go through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_log.h"

namespace {

using std::string;
using strings = std::vector<string>;

constexpr int ADD = CMD_ADD_NODE, REM = CMD_REMOVE_NODE, SET = CMD_SET_LEAF, CLR = CMD_CLEAR_LEAF;

struct filter_case {
    strings args;  // -p, -x, -a and -i with their values
    std::vector<int> cmds;
    strings used;
    strings refused;
};

void check(const std::vector<filter_case>& cases) {
    for (const filter_case& c : cases) {
        string name;
        reset_program_state();
        for (size_t i = 0; i + 1 < c.args.size(); i += 2) {
            const string& v = c.args[i + 1];
            name += c.args[i] + " " + v + " ";
            if (c.args[i] == "-p") program_state.include_paths.push_back(v);
            if (c.args[i] == "-x") program_state.exclude_paths.push_back(v);
            if (c.args[i] == "-a") program_state.include_attrs.insert(v);
            if (c.args[i] == "-i") program_state.exclude_attrs.insert(v);
        }
        for (const int cmd : c.cmds) {
            for (const string& p : c.used)
                EXPECT_TRUE(ok_to_use(p, api_cmd_t(cmd))) << name << p << " " << cmd;
            for (const string& p : c.refused)
                EXPECT_FALSE(ok_to_use(p, api_cmd_t(cmd))) << name << p << " " << cmd;
        }
    }
    reset_program_state();
}

TEST(Filter, PathPrefixesAreBytewise) {
    check({
        {{}, {ADD, SET, 0, 99}, {"/a", "", "noslash"}, {}},
        {{"-p", "/a"}, {ADD, SET}, {"/a", "/a/x", "/ab"}, {"/b", "/", "", "/A", "a"}},
        {{"-x", "/a"}, {REM, CLR}, {"/b", "/", "/A"}, {"/a", "/a/x", "/ab"}},
        {{"-p", "/b", "-p", "/a"}, {SET}, {"/a/x", "/b/y"}, {"/c"}},
        {{"-x", "/a", "-x", "/b"}, {ADD}, {"/c"}, {"/a/x", "/b/y"}},
        // The include side decides alone when both are set.
        {{"-p", "/a", "-x", "/a/x"}, {SET}, {"/a/x/y"}, {"/b"}},
        // Bytes after an embedded NUL still count.
        {{"-p", string("/a\0x", 4)}, {ADD}, {string("/a\0x/z", 6)}, {string("/a\0y", 4), "/a"}},
    });
}

TEST(Filter, AttributesJudgeOnlyLeafCommands) {
    check({
        {{"-a", "mtu"}, {SET, CLR}, {"/x/mtu", "/mtu"}, {"/x/speed", "/mtu/x", "/x/mtux", "/x/mt", "/x/MTU"}},
        {{"-a", "mtu"}, {ADD, REM, 0, 3}, {"/x/speed"}, {}},
        {{"-a", "MTU"}, {SET}, {"/x/MTU"}, {"/x/mtu"}},
        {{"-i", "mtu"}, {SET, CLR}, {"/x/speed", "/mtu/x"}, {"/x/mtu"}},
        {{"-i", "mtu"}, {ADD, REM}, {"/x/mtu"}, {}},
        {{"-a", "mtu", "-a", "speed"}, {SET, CLR}, {"/x/mtu", "/x/speed"}, {"/x/sp", "/x/duplex"}},
        // The attribute stage sees only what passed the path stage.
        {{"-p", "/a", "-a", "mtu"}, {SET}, {"/a/x/mtu"}, {"/b/mtu", "/a/x/speed"}},
        {{"-p", "/a", "-a", "mtu"}, {ADD}, {"/a/x/speed"}, {"/b/x"}},
        {{"-x", "/a", "-i", "mtu"}, {SET}, {"/b/speed"}, {"/a/speed", "/b/mtu"}},
        // The include side decides alone when both are set.
        {{"-a", "mtu", "-i", "mtu"}, {SET}, {"/x/mtu"}, {"/x/speed"}},
        // No component after a last '/': no -a name matches, no -i name excludes.
        {{"-a", "mtu"}, {SET, CLR}, {}, {"mtu", "/x/mtu/", "/", ""}},
        {{"-i", "mtu"}, {SET, CLR}, {"mtu", "/x/mtu/", "/", ""}, {}},
    });
}

}  // namespace
