// Event filter: path prefixes (byte-wise, include side first) and the
// attribute stage that only leaf commands go through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_log.h"

namespace {

using std::string;

constexpr int ADD = CMD_ADD_NODE, REM = CMD_REMOVE_NODE, SET = CMD_SET_LEAF, CLR = CMD_CLEAR_LEAF;

struct verdict {
    string path;
    int cmd;
    bool used;
};

struct filter_case {
    std::vector<string> args;  // -p, -x, -a and -i with their values
    std::vector<verdict> verdicts;
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
        for (const verdict& v : c.verdicts)
            EXPECT_EQ(ok_to_use(v.path, api_cmd_t(v.cmd)), v.used)
                << name << ": '" << v.path << "' cmd " << v.cmd;
    }
    reset_program_state();
}

TEST(Filter, PathPrefixesAreBytewise) {
    check({
        {{},
         {{"/a", ADD, true},
          {"/x/y", SET, true},
          {"", CLR, true},
          {"noslash", SET, true},
          {"/a", 0, true},
          {"/a", 99, true}}},
        {{"-p", "/a"},
         {{"/a", ADD, true},
          {"/a/x", SET, true},
          {"/ab", REM, true},
          {"/b", ADD, false},
          {"/", ADD, false},
          {"", SET, false},
          {"/A", ADD, false},
          {"a", ADD, false}}},
        {{"-x", "/a"},
         {{"/a", ADD, false},
          {"/a/x", SET, false},
          {"/ab", REM, false},
          {"/b", ADD, true},
          {"/", CLR, true},
          {"/A", SET, true}}},
        {{"-p", "/a", "-p", "/b"}, {{"/a/x", SET, true}, {"/b/y", ADD, true}, {"/c", ADD, false}}},
        {{"-p", "/b", "-p", "/a"}, {{"/a/x", SET, true}, {"/b/y", ADD, true}, {"/c", ADD, false}}},
        {{"-x", "/a", "-x", "/b"}, {{"/a/x", SET, false}, {"/b/y", ADD, false}, {"/c", ADD, true}}},
        // The include side decides alone when both are set.
        {{"-p", "/a", "-x", "/a/x"}, {{"/a/x/y", SET, true}, {"/b", ADD, false}}},
        // Bytes after an embedded NUL still count.
        {{"-p", string("/a\0x", 4)},
         {{string("/a\0x/z", 6), ADD, true}, {string("/a\0y", 4), ADD, false}, {"/a", ADD, false}}},
    });
}

TEST(Filter, AttributesJudgeOnlyLeafCommands) {
    check({
        {{"-a", "mtu"},
         {{"/x/mtu", SET, true},
          {"/x/mtu", CLR, true},
          {"/x/speed", SET, false},
          {"/x/speed", CLR, false},
          {"/x/speed", ADD, true},
          {"/x/speed", REM, true},
          {"/x/speed", 0, true},
          {"/x/speed", 3, true},
          {"/mtu", SET, true},
          {"/mtu/x", SET, false},
          {"/x/mtux", SET, false},
          {"/x/mt", SET, false},
          {"/x/MTU", SET, false}}},
        {{"-a", "MTU"}, {{"/x/mtu", SET, false}, {"/x/MTU", SET, true}}},
        {{"-i", "mtu"},
         {{"/x/mtu", SET, false},
          {"/x/mtu", CLR, false},
          {"/x/speed", SET, true},
          {"/x/mtu", ADD, true},
          {"/x/mtu", REM, true},
          {"/mtu/x", SET, true}}},
        {{"-a", "mtu", "-a", "speed"},
         {{"/x/mtu", SET, true}, {"/x/speed", CLR, true}, {"/x/sp", SET, false}, {"/x/duplex", SET, false}}},
        // The attribute stage sees only what passed the path stage.
        {{"-p", "/a", "-a", "mtu"},
         {{"/b/mtu", SET, false},
          {"/a/x/mtu", SET, true},
          {"/a/x/speed", SET, false},
          {"/b/x", ADD, false},
          {"/a/x/speed", ADD, true}}},
        {{"-x", "/a", "-i", "mtu"},
         {{"/a/speed", SET, false}, {"/b/mtu", SET, false}, {"/b/speed", SET, true}, {"/a/mtu", ADD, false}}},
        // The include side decides alone when both are set.
        {{"-a", "mtu", "-i", "mtu"}, {{"/x/mtu", SET, true}, {"/x/speed", SET, false}}},
        // No component after a last '/': no -a name matches, no -i name excludes.
        {{"-a", "mtu"},
         {{"mtu", SET, false},
          {"/x/mtu/", CLR, false},
          {"/", SET, false},
          {"", SET, false},
          {"mtu", ADD, true}}},
        {{"-i", "mtu"}, {{"mtu", SET, true}, {"/x/mtu/", CLR, true}, {"/", SET, true}, {"", SET, true}}},
    });
}

}  // namespace
