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

struct row {
    strings args;  // -p, -x, -a and -i with their values
    std::vector<int> cmds;
    strings used, refused;
};
const row rows[] = {
    {{}, {ADD, SET, 0, 99}, {"/a", "", "noslash"}, {}},
    {{"-p", "/a"}, {ADD, SET}, {"/a", "/a/x", "/ab"}, {"/b", "/", "", "/A", "a"}},
    {{"-x", "/a"}, {REM, CLR}, {"/b", "/", "/A"}, {"/a", "/a/x", "/ab"}},
    {{"-p", "/b", "-p", "/a"}, {SET}, {"/a/x", "/b/y"}, {"/c"}},
    {{"-x", "/a", "-x", "/b"}, {ADD}, {"/c"}, {"/a/x", "/b/y"}},
    // The include side decides alone when both are set.
    {{"-p", "/a", "-x", "/a/x"}, {SET}, {"/a/x/y"}, {"/b"}},
    {{"-a", "mtu", "-i", "mtu"}, {SET}, {"/x/mtu"}, {"/x/speed"}},
    // Bytes after an embedded NUL still count.
    {{"-p", string("/a\0x", 4)}, {ADD}, {string("/a\0x/z", 6)}, {string("/a\0y", 4), "/a"}},
    // Attributes: the last component, whole and case-sensitive, of leaf commands only.
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
    // No component after a last '/': no -a name matches, no -i name excludes.
    {{"-a", "mtu"}, {SET, CLR}, {}, {"mtu", "/x/mtu/", "/", ""}},
    {{"-i", "mtu"}, {SET, CLR}, {"mtu", "/x/mtu/", "/", ""}, {}},
};

TEST(Filter, PathsThenAttributesOfLeafCommands) {
    ProgramState& ps = program_state;
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        reset_program_state();
        for (size_t i = 0; i + 1 < r.args.size(); i += 2) {
            const string &o = r.args[i], &v = r.args[i + 1];
            if (o == "-p" || o == "-x") (o == "-p" ? ps.include_paths : ps.exclude_paths).push_back(v);
            if (o == "-a" || o == "-i") (o == "-a" ? ps.include_attrs : ps.exclude_attrs).insert(v);
        }
        for (const int cmd : r.cmds)
            for (const bool use : {true, false})
                for (const string& p : use ? r.used : r.refused)
                    EXPECT_EQ(ok_to_use(p, api_cmd_t(cmd)), use) << p << " " << cmd;
    }
    reset_program_state();
}

}  // namespace
