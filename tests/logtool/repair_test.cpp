// repair of a log written as capture writes it, cut at every byte: the
// output is the original up to its last complete batch and the root's
// closing tag, and check calls every cut inside the root cut short and
// counts the same complete batches.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "in_process.h"
#include "memory_log.h"

namespace {

using std::string;

// Writes a log through the log-format module as capture does; `ends` gets
// the offset just past the line of each element that repair may keep (the
// root's opening tag, the start, every batch).
string capture_like_log(std::vector<size_t>& ends) {
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    const auto mark = [&] {
        std::fflush(f);
        ends.push_back(size);
    };
    write_log_head(f);
    mark();
    write_start(f, timespec{1796583853, 5000});
    mark();
    toolkit::CElement v;
    v.timestamp() = timeval{1796583853, 42};
    const auto batch = [&](long sec, long nsec, api_cmd_t cmd,
                           const std::vector<std::pair<string, string>>& evs) {
        write_batch_open(f, timespec{sec, nsec}, action_name(cmd));
        for (const auto& [path, value] : evs) {
            v.set_string(value);
            write_event(f, cmd, path, v);
        }
        write_batch_close(f);
        mark();
    };
    batch(0, 0, CMD_ADD_NODE, {{"/if/eth0", ""}, {"/if/\"q\" & <x>", ""}});
    batch(0, 250000000, CMD_SET_LEAF,
          {{"/if/eth0/descr", "two\nlines\r\nand a\ttab"}, {"/if/eth0/u", "Übergang Süd"}});
    batch(1, 5, CMD_SET_LEAF, {});  // capture writes a batch whose events were all left out
    batch(2, 999999999, CMD_CLEAR_LEAF, {{"/if/eth0/descr", ""}});
    batch(3, 0, CMD_REMOVE_NODE, {{"/if/eth0", ""}});
    write_log_tail(f);
    std::fclose(f);
    string log(text, size);
    std::free(text);
    return log;
}

TEST(Repair, EveryCutKeepsTheOriginalUpToItsLastCompleteBatch) {
    std::vector<size_t> ends;
    const string log = capture_like_log(ends);
    const size_t root_open = ends[0] - 1;  // the offset just past "<dump>"
    harness::temp_dir dir;
    const string in = dir.file("cut.xml"), out = dir.file("out.xml");
    for (size_t cut = 0; cut <= log.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        // Fresh files each time: replacing one makes the file system write it out.
        unlink(in.c_str());
        unlink(out.c_str());
        harness::write_file(in, log.substr(0, cut));
        // An element counts once its closing '>' has been read; the root's
        // opening tag is written whatever was read.
        size_t keep = ends[0];
        long complete = 0;
        for (size_t i = 1; i < ends.size(); ++i) {
            if (cut < ends[i] - 1) break;
            keep = ends[i];
            complete += i > 1 ? 1 : 0;
        }
        const in_process_result r = run_in_process(logtool::add_repair, {"repair", in, out}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        string repaired = harness::read_file(out);
        EXPECT_EQ(repaired, log.substr(0, keep) + "</dump>\n");
        EXPECT_EQ(read_memory_log(repaired.data(), repaired.size()), 0);
        EXPECT_LE(long(program_state.batches.size()), complete);

        const in_process_result c = run_in_process(logtool::add_check, {"check", "--json", in}, dir);
        const auto j = nlohmann::json::parse(c.out);
        const bool whole = cut >= log.rfind("</dump>") + 7;
        EXPECT_EQ(c.status, whole ? 0 : 1);
        EXPECT_EQ(j["cut_short"], !whole && cut >= root_open) << c.out;
        EXPECT_EQ(j["complete_batches"], complete);
        if (HasFailure()) break;
    }
}

}  // namespace
