// Event filter: path prefixes (byte-wise, include side first) and the
// attribute stage that only leaf commands go through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rorezuredi.h"

namespace {

using std::string;

struct filter_options {
    std::vector<string> include_paths, exclude_paths, include_attrs, exclude_attrs;
};

struct verdict {
    string path;
    int cmd;
    bool used;
};

struct filter_case {
    const char* name;
    filter_options opts;
    std::vector<verdict> verdicts;
};

void reset_filter()
{
    program_state.include_paths.clear();
    program_state.exclude_paths.clear();
    program_state.include_attrs.clear();
    program_state.exclude_attrs.clear();
}

class Filter : public ::testing::Test {
protected:
    void SetUp() override { reset_filter(); }
    void TearDown() override { reset_filter(); }

    void run_cases(const std::vector<filter_case>& cases)
    {
        for (const filter_case& c : cases) {
            reset_filter();
            program_state.include_paths = c.opts.include_paths;
            program_state.exclude_paths = c.opts.exclude_paths;
            program_state.include_attrs.insert(c.opts.include_attrs.begin(), c.opts.include_attrs.end());
            program_state.exclude_attrs.insert(c.opts.exclude_attrs.begin(), c.opts.exclude_attrs.end());
            for (const verdict& v : c.verdicts) {
                EXPECT_EQ(ok_to_use(v.path, api_cmd_t(v.cmd)), v.used)
                    << c.name << ": path '" << v.path << "' cmd " << v.cmd;
            }
        }
    }
};

constexpr int ADD = CMD_ADD_NODE, REM = CMD_REMOVE_NODE, SET = CMD_SET_LEAF, CLR = CMD_CLEAR_LEAF;

TEST_F(Filter, PathPrefixesAreBytewise)
{
    run_cases({
        {"no options", {}, {{"/a", ADD, true}, {"/x/y", SET, true}, {"", CLR, true}, {"noslash", SET, true},
                            {"/a", 0, true}, {"/a", 99, true}}},
        {"-p /a", {{"/a"}, {}, {}, {}},
         {{"/a", ADD, true}, {"/a/x", SET, true}, {"/ab", REM, true}, {"/b", ADD, false}, {"/", ADD, false},
          {"", SET, false}, {"/A", ADD, false}, {"a", ADD, false}}},
        {"-x /a", {{}, {"/a"}, {}, {}},
         {{"/a", ADD, false}, {"/a/x", SET, false}, {"/ab", REM, false}, {"/b", ADD, true}, {"/", CLR, true},
          {"/A", SET, true}}},
        {"-p /a -p /b", {{"/a", "/b"}, {}, {}, {}},
         {{"/a/x", SET, true}, {"/b/y", ADD, true}, {"/c", ADD, false}}},
        {"-p /b -p /a", {{"/b", "/a"}, {}, {}, {}},
         {{"/a/x", SET, true}, {"/b/y", ADD, true}, {"/c", ADD, false}}},
        {"-x /a -x /b", {{}, {"/a", "/b"}, {}, {}},
         {{"/a/x", SET, false}, {"/b/y", ADD, false}, {"/c", ADD, true}}},
        // The include side decides alone when both are set.
        {"-p /a and -x /a/x", {{"/a"}, {"/a/x"}, {}, {}},
         {{"/a/x/y", SET, true}, {"/b", ADD, false}}},
        // Bytes after an embedded NUL still count.
        {"-p with NUL", {{string("/a\0x", 4)}, {}, {}, {}},
         {{string("/a\0x/z", 6), ADD, true}, {string("/a\0y", 4), ADD, false}, {"/a", ADD, false}}},
    });
}

TEST_F(Filter, AttributesJudgeOnlyLeafCommands)
{
    run_cases({
        {"-a mtu", {{}, {}, {"mtu"}, {}},
         {{"/x/mtu", SET, true}, {"/x/mtu", CLR, true}, {"/x/speed", SET, false}, {"/x/speed", CLR, false},
          {"/x/speed", ADD, true}, {"/x/speed", REM, true}, {"/x/speed", 0, true}, {"/x/speed", 3, true},
          {"/mtu", SET, true}, {"/mtu/x", SET, false}, {"/x/mtux", SET, false}, {"/x/mt", SET, false},
          {"/x/MTU", SET, false}}},
        {"-a MTU", {{}, {}, {"MTU"}, {}}, {{"/x/mtu", SET, false}, {"/x/MTU", SET, true}}},
        {"-i mtu", {{}, {}, {}, {"mtu"}},
         {{"/x/mtu", SET, false}, {"/x/mtu", CLR, false}, {"/x/speed", SET, true}, {"/x/mtu", ADD, true},
          {"/x/mtu", REM, true}, {"/mtu/x", SET, true}}},
        {"-a mtu -a speed", {{}, {}, {"mtu", "speed"}, {}},
         {{"/x/mtu", SET, true}, {"/x/speed", CLR, true}, {"/x/sp", SET, false}, {"/x/duplex", SET, false}}},
        // The attribute stage sees only what passed the path stage.
        {"-p /a -a mtu", {{"/a"}, {}, {"mtu"}, {}},
         {{"/b/mtu", SET, false}, {"/a/x/mtu", SET, true}, {"/a/x/speed", SET, false}, {"/b/x", ADD, false},
          {"/a/x/speed", ADD, true}}},
        {"-x /a -i mtu", {{}, {"/a"}, {}, {"mtu"}},
         {{"/a/speed", SET, false}, {"/b/mtu", SET, false}, {"/b/speed", SET, true}, {"/a/mtu", ADD, false}}},
        // The include side decides alone when both are set.
        {"-a mtu and -i mtu", {{}, {}, {"mtu"}, {"mtu"}}, {{"/x/mtu", SET, true}, {"/x/speed", SET, false}}},
    });
}

TEST_F(Filter, PathsWithoutAnAttribute)
{
    // No component after a last '/': no -a name matches, no -i name excludes.
    run_cases({
        {"-a mtu", {{}, {}, {"mtu"}, {}},
         {{"mtu", SET, false}, {"/x/mtu/", CLR, false}, {"/", SET, false}, {"", SET, false},
          {"mtu", ADD, true}}},
        {"-i mtu", {{}, {}, {}, {"mtu"}},
         {{"mtu", SET, true}, {"/x/mtu/", CLR, true}, {"/", SET, true}, {"", SET, true}}},
    });
}

}  // namespace
