// Replay of hostile event logs against a store that already holds data: a
// refused log leaves the store as it was, and huge texts cost a few copies.
// What the reader makes of each kind of log is judged in process (reader_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "harness.h"

namespace {

using namespace harness;
using std::string;

class HostileLog : public ::testing::Test {
protected:
    void SetUp() override {
        store.ctl_ok({"set", "/pre/x", "int32", "7", "/pre/s", "string", "kept"});
        before = store.dump();
    }

    private_store store;
    temp_dir dir;
    string before;
};

// A good batch comes first: the batches read before the fault are not applied either.
TEST_F(HostileLog, ARefusedLogAppliesNothing) {
    const string good = log_batch("0.0", "CMD_ADD_NODE", log_event("/good"));
    for (const string& bad :
         {log_batch("1.0", "CMD_SET_LEAF", log_leaf("/bad", "string", "\xc0\xaf")),
          log_batch("1.0", "CMD_ADD_NODE", "<event/>"), string("\t<batch time=\"1.0\"")}) {
        SCOPED_TRACE(bad);
        const result r = replay(store, log_document(good + bad));
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Parsing XML...\n");
        EXPECT_EQ(store.dump(), before);
    }
}

TEST_F(HostileLog, HugeValuesAndPathsCostAFewCopiesAtMost) {
    // Written to the file piece by piece: a child forked from a test process
    // that held the text would count the test's own memory as its peak.
    const size_t mb = 1000000;
    const string head = string(log_decl) + "<dump>\n\t<batch time=\"0.0\" action=\"CMD_SET_LEAF\">\n";
    const string tail = "\t</batch>\n</dump>\n";
    const struct {
        string head;  // the log up to the giant text
        char fill;
        size_t bytes;
        string tail;
        int status;  // the store takes requests of up to 64 MiB
    } giants[] = {
        {head + "\t\t<event path=\"/big/", 'p', mb, "\" type=\"int32\">5</event>\n" + tail, 0},
        {head + "\t\t<event path=\"/big/v\" type=\"string\">", 'v', 100 * mb, "</event>\n" + tail, 1}};
    for (const auto& g : giants) {
        SCOPED_TRACE(g.bytes);
        const string path = dir.file("giant.xml");
        {
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            f << g.head;
            const string piece(mb, g.fill);
            for (size_t left = g.bytes; left > 0; left -= std::min(left, mb))
                f.write(piece.data(), long(std::min(left, mb)));
            f << g.tail;
        }
        const result o = run({ROREZUREDI_BIN, "-l", path}, {.env = {store.env()}, .timeout_ms = 30000});
        EXPECT_EQ(o.status, g.status) << o.err.substr(0, 2000);
        if (g.status == 0) {
            EXPECT_NE(store.dump().find("leaf /big/" + string(mb, 'p') + " int32 5\n"), string::npos);
            store.ctl_ok({"remove", "/big"});
        }
        EXPECT_EQ(store.dump(), before);
        // The text, the value made of it and the request that carries it:
        // a handful of copies, not one per step.
        EXPECT_LT(o.max_rss_kib, (long(g.bytes / 1024) * 5 + 32L * 1024) * memory_factor)
            << o.max_rss_kib << " KiB";
    }
}

}  // namespace
