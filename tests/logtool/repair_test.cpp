// repair of a log written as capture writes it, cut at every byte: the
// output is the original up to its last complete batch and the root's
// closing tag, and check calls every cut inside the root cut short and
// counts the same complete batches.
#include <gtest/gtest.h>

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "in_process.h"
#include "log_maker.h"
#include "memory_log.h"

namespace {

using std::string;

TEST(Repair, EveryCutKeepsTheOriginalUpToItsLastCompleteBatch) {
    harness::temp_dir dir;
    std::vector<size_t> ends;
    make_log(dir.file("log.xml"), {.seed = 2, .batches = 5, .empty_batches = true}, &ends);
    const string log = harness::read_file(dir.file("log.xml"));
    ASSERT_LT(read_back(dir.file("log.xml")).batches.size(), ends.size() - 2);  // one batch is empty
    const size_t root_open = ends[0] - 1;  // the offset just past "<dump>"
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
        for (size_t i = 1; i < ends.size() && cut + 1 >= ends[i]; ++i) {
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
