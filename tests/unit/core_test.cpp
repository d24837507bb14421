// The tool's core in process: the event filter (path prefixes, byte-wise and
// include side first, then attributes for leaf commands only) and the
// termination handler.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

// Each signal clears running and leaves one zero byte in the pipe; errno is
// kept, also when the write fails for want of a pipe.
TEST(TerminationHandler, StopsWakesAndKeepsErrno) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const int saved_write_end = __signal_pipepair[1];
    const struct { int write_end, signals, bytes; } rows[] = {{fds[1], 1, 1}, {fds[1], 3, 3}, {-1, 1, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "write end " << r.write_end << ", " << r.signals << " signals");
        __signal_pipepair[1] = r.write_end;
        running = 1;
        for (int i = 0; i < r.signals; ++i) {
            errno = EINTR;
            on_termination_signal(SIGTERM);
            EXPECT_EQ(errno, EINTR);
        }
        EXPECT_EQ(running, 0);
        char buf[16];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n < 0 ? 0 : size_t(n)), std::string(size_t(r.bytes), '\0'));
    }
    __signal_pipepair[1] = saved_write_end;
    running = 1;
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
