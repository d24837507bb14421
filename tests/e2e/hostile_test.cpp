// Replay of hostile event logs: logs edited by hand or made to hurt. Whatever the log holds, rorezuredi must
// end in time with the status the log deserves, in bounded memory, without reading anything but the log, and
// a log it refuses must leave the store as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>

#include "harness.h"

namespace {

using namespace harness;
using std::string;

constexpr long mib = 1024;  // in KiB, as ru_maxrss counts
const string decl = log_decl;

struct outcome : result {
    double seconds = 0;
};

// A private store that already holds some data, and a directory for logs.
class HostileLog : public ::testing::Test {
protected:
    void SetUp() override {
        store.ctl_ok({"set", "/pre/x", "int32", "7", "/pre/s", "string", "kept"});
        before = store.dump();
    }

    outcome replay_file(const string& path, int timeout_ms = 20000, const strings& args = {}) {
        auto start = std::chrono::steady_clock::now();
        strings argv{ROREZUREDI_BIN, "-l", path};
        argv.insert(argv.end(), args.begin(), args.end());
        outcome o{run(argv, {.env = {store.env()}, .timeout_ms = timeout_ms})};
        o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return o;
    }

    outcome replay(const string& log, int timeout_ms = 20000) {
        const string path = dir.file("log.xml");
        write_file(path, log);
        return replay_file(path, timeout_ms);
    }

    // A refused log: status 255, the reader's failure message, nothing applied.
    void expect_refused(const outcome& o, const string& what) {
        EXPECT_EQ(o.status, 255) << what << "\n" << o.err.substr(0, 2000);
        EXPECT_NE(o.err.find("XML_ParseBuffer() failed\n"), string::npos) << what;
        EXPECT_EQ(store.dump(), before) << what;
    }

    private_store store;
    temp_dir dir;
    string before;
};

TEST_F(HostileLog, EntityExpansionIsRefusedInBoundedTimeAndMemory) {
    // Ten levels of ten references each: 10^10 copies of the innermost text.
    string laughs = "<!DOCTYPE dump [\n<!ENTITY l0 \"/lol\">\n";
    for (int i = 1; i <= 10; ++i) {
        string ref = "&l" + std::to_string(i - 1) + ";";
        string body;
        for (int k = 0; k < 10; ++k) body += ref;
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + body + "\">\n";
    }
    laughs += "]>\n";
    // One large entity referenced many times: quadratic growth without nesting.
    const string quadratic = "<!DOCTYPE dump [<!ENTITY big \"" + string(100000, 'q') + "\">]>\n";
    string many_refs;
    for (int i = 0; i < 50000; ++i) many_refs += "&big;";

    struct bomb {
        string name;
        string log;
    };
    const bomb bombs[] = {
        {"nested, in a value",
         log_document(log_batch("0.0", "CMD_SET_LEAF", log_leaf("/v", "string", "&l10;")), decl + laughs)},
        {"quadratic, in a value",
         log_document(log_batch("0.0", "CMD_SET_LEAF", log_leaf("/v", "string", many_refs)),
                      decl + quadratic)}};
    for (const bomb& b : bombs) {
        SCOPED_TRACE(b.name);
        outcome o = replay(b.log);
        expect_refused(o, b.name);
        EXPECT_LT(o.seconds, 10.0);
        EXPECT_LT(o.max_rss_kib, 64 * mib * memory_factor);
    }
}

TEST_F(HostileLog, ExternalReferencesAreNeverFollowed) {
    // Opening the FIFO for reading would block for good: a run that touches
    // it hangs and fails on the time-out. The plain file's text must not
    // turn up anywhere.
    const string fifo = dir.file("fifo");
    const string secret = dir.file("secret");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write_file(secret, "SECRET-TEXT");
    const string set_a = log_batch("0.0", "CMD_SET_LEAF", log_leaf("/ext/a", "string", "[&e;]"));

    struct attempt {
        string name;
        string log;
        int status;
        string value;  // of /ext/a when the log is applied
    };
    const attempt attempts[] = {
        {"external DTD",
         log_document(log_batch("0.0", "CMD_SET_LEAF", log_leaf("/ext/a", "string", "plain")),
                      decl + "<!DOCTYPE dump SYSTEM \"" + fifo + "\">\n"),
         0, "plain"},
        {"entity from a FIFO in a value",
         log_document(set_a, decl + "<!DOCTYPE dump [<!ENTITY e SYSTEM \"" + fifo + "\">]>\n"), 0, "[]"},
        {"entity from a file in a path",
         log_document(log_batch("0.0", "CMD_ADD_NODE", log_event("/ext/&e;")),
                      decl + "<!DOCTYPE dump [<!ENTITY e SYSTEM \"file://" + secret + "\">]>\n"),
         255, ""},
        {"parameter entity from a FIFO",
         log_document(
             set_a, decl + "<!DOCTYPE dump [<!ENTITY % p SYSTEM \"" + fifo + "\"> %p; <!ENTITY e \"x\">]>\n"),
         0, "[]"},
        {"unparsed entity",
         log_document(set_a, decl + "<!DOCTYPE dump [<!NOTATION n SYSTEM \"" + fifo +
                                 "\"><!ENTITY e SYSTEM \"" + secret + "\" NDATA n>]>\n"),
         255, ""}};
    for (const attempt& a : attempts) {
        SCOPED_TRACE(a.name);
        outcome o = replay(a.log, 10000);
        if (a.status == 255) {
            expect_refused(o, a.name);
        } else {
            EXPECT_EQ(o.status, a.status) << o.err;
            EXPECT_EQ(store.ctl_ok({"get", "/ext/a"}), a.value + "\n");
        }
        EXPECT_EQ(o.out.find("SECRET"), string::npos);
        EXPECT_EQ(o.err.find("SECRET"), string::npos);
        EXPECT_EQ(store.dump().find("SECRET"), string::npos);
        store.ctl_ok({"remove", "/ext"});
    }
}

TEST_F(HostileLog, HugeValuesAndPathsCostAFewCopiesAtMost) {
    // Written to the file piece by piece: a child forked from a test process
    // that held the text would count the test's own memory as its peak.
    struct giant {
        string name;
        string head;  // the log up to the giant text
        char fill;
        size_t bytes;
        string tail;
        int status;  // the store takes requests of up to 64 MiB
        string dump_line;
    };
    const size_t mb = 1000000;
    const string doc_head = decl + "<dump>\n\t<batch time=\"0.0\" action=\"CMD_SET_LEAF\">\n";
    const string doc_tail = "\t</batch>\n</dump>\n";
    const giant giants[] = {
        {"1 MB path", doc_head + "\t\t<event path=\"/big/", 'p', mb,
         "\" type=\"int32\">5</event>\n" + doc_tail, 0, "leaf /big/" + string(mb, 'p') + " int32 5\n"},
        {"100 MB value", doc_head + "\t\t<event path=\"/big/v\" type=\"string\">", 'v', 100 * mb,
         "</event>\n" + doc_tail, 1, ""}};
    for (const giant& g : giants) {
        SCOPED_TRACE(g.name);
        const string path = dir.file("giant.xml");
        {
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            f << g.head;
            const string piece(mb, g.fill);
            for (size_t left = g.bytes; left > 0; left -= std::min(left, mb))
                f.write(piece.data(), long(std::min(left, mb)));
            f << g.tail;
        }
        outcome o = replay_file(path, 30000);
        EXPECT_EQ(o.status, g.status) << o.err.substr(0, 2000);
        if (g.status == 0) {
            EXPECT_NE(store.dump().find(g.dump_line), string::npos);
            store.ctl_ok({"remove", "/big"});
        } else {
            EXPECT_EQ(o.err, "Error: set_leaf() failed!\n");
        }
        EXPECT_EQ(store.dump(), before);
        // The text, the value made of it and the request that carries it:
        // a handful of copies, not one per step.
        EXPECT_LT(o.max_rss_kib, (long(g.bytes / 1024) * 5 + 32 * mib) * memory_factor)
            << o.max_rss_kib << " KiB";
    }
}

TEST_F(HostileLog, DeeplyNestedUnknownElements) {
    const int depth = 100000;
    string open, close;
    for (int i = 0; i < depth; ++i) open += "<x>";
    for (int i = 0; i < depth; ++i) close += "</x>";

    // Inside an event their text is the value; around a batch they change nothing.
    const string inside = log_document(
        log_batch("0.0", "CMD_SET_LEAF", log_leaf("/deep/v", "string", "a" + open + "b" + close + "c")));
    const string around = log_document(open + log_batch("0.0", "CMD_ADD_NODE", log_event("/deep/n")) + close);
    for (const string& log : {inside, around}) {
        outcome o = replay(log);
        EXPECT_EQ(o.status, 0) << o.err.substr(0, 500);
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), depth);
        EXPECT_LT(o.max_rss_kib, 64 * mib * memory_factor);
    }
    EXPECT_EQ(store.ctl_ok({"get", "/deep/v"}), "abc\n");
    EXPECT_EQ(store.ctl({"get", "/deep/n"}).status, 1);  // a node, not a leaf
    EXPECT_NE(store.dump().find("node /deep/n\n"), string::npos);
}

TEST_F(HostileLog, BytesThatAreNotXmlRefuseTheWholeLog) {
    // A good batch first: a refused log must not apply even that.
    auto with = [](const string& in_value, const string& in_path) {
        return log_document(
            log_batch("0.0", "CMD_ADD_NODE", log_event("/good")) +
            log_batch("1.0", "CMD_SET_LEAF", log_leaf("/bad/p" + in_path, "string", "v" + in_value)));
    };
    struct bad {
        string name;
        string bytes;
    };
    const bad bads[] = {{"overlong slash", "\xc0\xaf"}, {"truncated sequence", "\xe2\x82"},
                        {"surrogate", "\xed\xa0\x80"},  {"NUL byte", string(1, '\0')},
                        {"control character", "\x01"},  {"reference to NUL", "&#0;"}};
    for (const bad& b : bads) {
        SCOPED_TRACE(b.name);
        expect_refused(replay(with(b.bytes, "")), b.name + " in a value");
        expect_refused(replay(with("", b.bytes)), b.name + " in a path");
    }
    // Logs that are not text at all.
    expect_refused(replay_file("/dev/zero"), "endless NUL bytes");
    outcome from_dir = replay_file(dir.path());
    EXPECT_EQ(from_dir.status, 255) << "a directory";
    EXPECT_EQ(store.dump(), before);
    expect_refused(replay(string(1, '\0') + with("", "")), "NUL before the declaration");
}

}  // namespace
