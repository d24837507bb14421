// tool_bench: measures rorezuredi against its floors and prints one table.
//
//  - reading a log of N events with every batch refused by -p, against
//    xmlwf parsing the same file (and the tool's own read loop with handlers
//    that do nothing, the floor of reading in pieces);
//  - peak memory of that read, against the file's size;
//  - replay with no delay, against `veltctl batch` sending the same requests;
//  - capture under a writer at full speed, against a null subscriber;
//  - capture and the null subscriber taking a backlog written while they
//    were stopped, against the writer's own commit rate, and capture under
//    1, 2 and 4 writers at full priority (largest pending, cut off or not);
//  - pacing with -d, from the store's write timestamps;
//  - growth of reading time and memory over 10^3 .. N events;
//  - rorezuredi-log: info and check against xmlwf; repair, slice, retime,
//    print, export and import (of the export) against xmlwf plus a copy of
//    the file; and the peak memory of each on N and 10 N events (streaming:
//    the same for both); info and check on the log compressed with zstd,
//    against zstdcat piped into xmlwf;
//  - rorezuredi-log state against info on the same log, its peak memory
//    against veltd holding the tree the log leaves, and snapshot of a store
//    of N leaves against veltctl dump of it.
//
// It generates its logs, starts private stores (veltd) in a temporary
// directory, and stops and removes everything it started before it exits.
// Usage: tool_bench [--events N] [--runs R] [--bin-dir DIR] [--no-large] [--store-load-only]
// (--no-large: leave out the 10 N-event log of the memory rows)
// (--store-load-only: only the rows of capture under a backlog and several writers)
// (--bin-dir: take rorezuredi, veltd and veltctl from DIR, to compare builds)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <velt++.h>
#include <velt_admin.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "log_generator.h"

namespace {

using namespace bench;

struct programs {
    std::string rorezuredi = ROREZUREDI_BIN;
    std::string rorezuredi_log = ROREZUREDI_LOG_BIN;
    std::string veltd = VELTD_BIN;
    std::string veltctl = VELTCTL_BIN;
    std::string null_subscriber = NULL_SUBSCRIBER_BIN;
    std::string expat_loop = EXPAT_LOOP_BIN;
    std::string xmlwf = "/usr/bin/xmlwf";
    std::string zstd = "/usr/bin/zstd";
#ifdef STORE_BENCH_BIN
    std::string store_bench = STORE_BENCH_BIN;
#else
    std::string store_bench;
#endif
};

bool same_data(const std::vector<velt::admin::dump_entry>& a, const std::vector<velt::admin::dump_entry>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].is_leaf != b[i].is_leaf || a[i].path != b[i].path) return false;
        if (a[i].is_leaf && !a[i].value.same_value(b[i].value)) return false;
    }
    return true;
}

uint64_t file_size(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) fail("cannot stat " + path);
    return uint64_t(st.st_size);
}

// ---- measurements ----------------------------------------------------------

struct best_of {
    double wall = 1e300;
    double cpu = 1e300;
    long max_rss_kib = 0;
    void add(const run_result& r) {
        wall = std::min(wall, r.wall);
        cpu = std::min(cpu, r.cpu);
        max_rss_kib = std::max(max_rss_kib, r.max_rss_kib);
    }
};

void expect_ok(const run_result& r, const std::string& what, const std::string& err_file = "") {
    if (r.status != 0) {
        std::string msg = what + " exited with " + std::to_string(r.status);
        if (!err_file.empty()) msg += ": " + read_file(err_file).substr(0, 500);
        fail(msg);
    }
}

// The tool reading `log` with every batch refused: nothing reaches the store.
run_result read_only(const programs& p, store& s, const std::string& log, const std::string& err) {
    redirect io;
    io.err = err;
    run_result r = run({p.rorezuredi, "-l", log, "-p", "/refused-by-every-batch"}, s.socket(), io);
    expect_ok(r, "rorezuredi -l " + log, err);
    return r;
}

struct replay_result {
    run_result total;
    double read_phase = 0;  // until the first progress output: reading and sorting
};

// Replays `log` into the store; the first flush of progress marks the end
// of the read (everything before it is buffered until the first batch).
replay_result replay(const programs& p, store& s, const std::string& log, const std::string& err) {
    int fds[2];
    if (pipe(fds) != 0) fail("pipe failed");
    fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
    redirect io;
    io.out_fd = fds[1];
    io.err = err;
    const auto start = steady::now();
    child tool({p.rorezuredi, "-l", log}, s.socket(), io);
    close(fds[1]);
    replay_result r;
    char buf[65536];
    bool first = true;
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (first) {
            r.read_phase = seconds(steady::now() - start);
            first = false;
        }
        // Drain now and then rather than waking for every batch's flush.
        sleep_ms(5);
    }
    close(fds[0]);
    r.total = tool.wait();
    expect_ok(r.total, "rorezuredi -l " + log, err);
    return r;
}

struct capture_result {
    double seconds = 0;
    long max_pending = 0;
    std::string summary;  // what the subscriber reported or wrote
};

// Runs the writer (veltctl batch) at full speed against one subscriber and
// times it until every batch has been taken.
capture_result capture_run(const programs& p, const work_dir& dir, const std::string& name,
                           const std::string& batch_file, bool tool) {
    store s(p.veltd, dir.file(name));
    redirect sub_io;
    sub_io.out = dir.file(name + ".sub.out");
    sub_io.err = dir.file(name + ".sub.err");
    const std::string log = dir.file(name + ".captured.xml");
    std::vector<std::string> sub_argv = tool ? std::vector<std::string>{p.rorezuredi, "-f", log}
                                             : std::vector<std::string>{p.null_subscriber};
    child sub(sub_argv, s.socket(), sub_io);
    for (int i = 0; s.status_value("subscribers") < 1; ++i) {
        if (i > 1000 || sub.exited()) fail(name + ": subscriber did not subscribe: " + read_file(sub_io.err));
        sleep_ms(5);
    }
    if (tool) sleep_ms(50);  // the subscription comes before the log's prologue and handlers

    redirect w_io;
    w_io.err = dir.file(name + ".writer.err");
    capture_result r;
    const auto start = steady::now();
    child writer({p.veltctl, "batch", batch_file}, s.socket(), w_io);
    bool writer_done = false;
    for (;;) {
        const long pending = s.status_value("pending");
        r.max_pending = std::max(r.max_pending, pending);
        if (!writer_done && writer.exited()) {
            writer_done = true;
            expect_ok(writer.wait(), name + ": veltctl batch", w_io.err);
        }
        if (writer_done && pending == 0) break;
        if (sub.exited()) fail(name + ": subscriber ended early: " + read_file(sub_io.err));
        sleep_ms(2);
    }
    r.seconds = seconds(steady::now() - start);
    sub.signal(tool ? SIGINT : SIGTERM);
    expect_ok(sub.wait(), name + ": subscriber", sub_io.err);
    if (tool) {
        const std::string text = read_file(log);
        long events = 0;
        for (size_t pos = 0; (pos = text.find("<event ", pos)) != std::string::npos; ++pos) ++events;
        r.summary = std::to_string(events) + " events logged";
    } else {
        r.summary = read_file(sub_io.out);
        while (!r.summary.empty() && r.summary.back() == '\n') r.summary.pop_back();
    }
    return r;
}

// Five-leaf set requests, one a line, for `veltctl batch`: `lines` of them
// under /PREFIX, over 1000 nodes.
void write_set_batches(const std::string& file, const std::string& prefix, long lines) {
    std::ofstream f(file);
    for (long i = 0; i < lines; ++i) {
        f << "set";
        for (int j = 0; j < 5; ++j) f << " /" << prefix << "/n" << i % 1000 << "/l" << j << " int32 " << i;
        f << '\n';
    }
    if (!f) fail("cannot write " + file);
}

struct drain_result {
    double write_rate = 0;  // batches/s the writer committed
    double drain_rate = 0;  // batches/s the subscriber then took
};

// Starts the subscriber (capture or the null subscriber) on `s` and returns
// once it is subscribed and, for capture, has its handlers installed.
std::unique_ptr<child> start_subscriber(const programs& p, const store& s, const std::string& log,
                                        const redirect& io, bool tool, const std::string& name) {
    auto sub = std::make_unique<child>(tool ? std::vector<std::string>{p.rorezuredi, "-f", log}
                                            : std::vector<std::string>{p.null_subscriber},
                                       s.socket(), io);
    for (int i = 0; s.status_value("subscribers") < 1; ++i) {
        if (i > 1000 || sub->exited()) fail(name + ": subscriber did not subscribe: " + read_file(io.err));
        sleep_ms(5);
    }
    if (tool) sleep_ms(50);  // the subscription comes before the log's prologue and handlers
    return sub;
}

// The subscriber is stopped while one writer commits `batches` requests from
// `batch_file`, then resumed and timed until it has taken them all.
drain_result drain_run(const programs& p, const work_dir& dir, const std::string& name,
                       const std::string& batch_file, long batches, bool tool) {
    store s(p.veltd, dir.file(name));
    redirect io;
    io.out = dir.file(name + ".sub.out");
    io.err = dir.file(name + ".sub.err");
    const std::string log = dir.file(name + ".captured.xml");
    const auto sub = start_subscriber(p, s, log, io, tool, name);
    // Stopped for good before the writer begins: kill() returns before the
    // stop takes effect.
    sub->signal(SIGSTOP);
    for (int i = 0;
         read_file("/proc/" + std::to_string(sub->pid()) + "/stat").find(") T ") == std::string::npos; ++i) {
        if (i > 1000) fail(name + ": subscriber did not stop");
        sleep_ms(5);
    }
    redirect w_io;
    w_io.err = dir.file(name + ".writer.err");
    const run_result w = run({p.veltctl, "batch", batch_file}, s.socket(), w_io);
    expect_ok(w, name + ": veltctl batch", w_io.err);
    const long pending = s.status_value("pending");
    if (pending != batches)
        fail(name + ": " + std::to_string(pending) + " of " + std::to_string(batches) + " batches pending");
    drain_result r;
    r.write_rate = double(batches) / w.wall;
    const auto start = steady::now();
    sub->signal(SIGCONT);
    while (s.status_value("pending") > 0) {
        if (sub->exited()) fail(name + ": subscriber ended early: " + read_file(io.err));
        sleep_ms(1);
    }
    r.drain_rate = double(batches) / seconds(steady::now() - start);
    sub->signal(tool ? SIGINT : SIGTERM);
    expect_ok(sub->wait(), name + ": subscriber", io.err);
    std::remove(log.c_str());
    return r;
}

struct load_result {
    long written = 0;      // batches the writers committed
    long max_pending = 0;  // the largest pending seen
    bool cut_off = false;  // capture's fetch failed
};

// Capture while `writers` writers (veltctl batch, at the same priority)
// write for `run_s` seconds, each from a file of its own, over and over.
load_result load_run(const programs& p, const work_dir& dir, const std::string& name, int writers,
                     const std::vector<std::string>& files, long lines, int run_s) {
    store s(p.veltd, dir.file(name));
    redirect io;
    io.err = dir.file(name + ".sub.err");
    const std::string log = dir.file(name + ".captured.xml");
    const auto sub = start_subscriber(p, s, log, io, true, name);
    const auto end = steady::now() + std::chrono::seconds(run_s);
    std::vector<std::unique_ptr<child>> w(static_cast<size_t>(writers));
    load_result r;
    auto start_writer = [&](int k) {
        redirect w_io;
        w_io.err = dir.file(name + ".writer" + std::to_string(k) + ".err");
        w[size_t(k)] = std::make_unique<child>(std::vector<std::string>{p.veltctl, "batch", files[size_t(k)]},
                                               s.socket(), w_io);
    };
    for (int k = 0; k < writers; ++k) start_writer(k);
    for (int busy = writers; busy > 0;) {
        r.max_pending = std::max(r.max_pending, s.status_value("pending"));
        if (!r.cut_off && sub->exited()) r.cut_off = true;
        busy = 0;
        for (int k = 0; k < writers; ++k) {
            if (!w[size_t(k)]) continue;
            if (!w[size_t(k)]->exited()) {
                ++busy;
                continue;
            }
            expect_ok(w[size_t(k)]->wait(), name + ": veltctl batch");
            r.written += lines;
            w[size_t(k)].reset();
            if (steady::now() < end) {
                start_writer(k);
                ++busy;
            }
        }
        sleep_ms(10);
    }
    while (!r.cut_off && s.status_value("pending") > 0) {
        r.cut_off = sub->exited();
        sleep_ms(10);
    }
    if (!r.cut_off) {
        sub->signal(SIGINT);
        r.cut_off = sub->wait().status != 0;
    }
    std::remove(log.c_str());
    return r;
}

struct pacing_result {
    std::vector<double> lateness_us;
    long batches = 0;
};

// Replays the pacing log with -d and reads the write times back from the
// store. Each batch's offset is its write time less its time in the log; the
// earliest offset anchors the schedule (it is the batch that waited least,
// its lateness counted as 0), and a batch's lateness is its offset less that.
// The anchor is not the first batch: its request is the first of the
// connection and may be slow.
void pacing_run(const programs& p, const work_dir& dir, const std::string& name, const std::string& log,
                long spacing_us, pacing_result& out) {
    store s(p.veltd, dir.file(name));
    redirect io;
    io.err = dir.file(name + ".err");
    expect_ok(run({p.rorezuredi, "-l", log, "-d"}, s.socket(), io), "rorezuredi -d", io.err);
    std::vector<std::pair<long, double>> stamps;  // batch index, write time in µs
    for (const auto& e : s.dump()) {
        const std::string prefix = "/pacing/b";
        if (!e.is_leaf || e.path.compare(0, prefix.size(), prefix) != 0) continue;
        const timeval& tv = e.value.timestamp();
        stamps.emplace_back(std::stol(e.path.substr(prefix.size())),
                            double(tv.tv_sec) * 1e6 + double(tv.tv_usec));
    }
    if (stamps.size() < 2) fail("pacing: leaves missing from the store");
    std::vector<double> offsets;
    offsets.reserve(stamps.size());
    for (const auto& [index, stamp] : stamps) offsets.push_back(stamp - double(index * spacing_us));
    const double anchor = *std::min_element(offsets.begin(), offsets.end());
    for (double o : offsets) out.lateness_us.push_back(o - anchor);
    out.batches += long(stamps.size());
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(std::ceil(q * double(v.size()))) - (q > 0 ? 1 : 0));
    return v[i];
}

// ---- rorezuredi-log -------------------------------------------------------

struct log_tool_run {
    std::string name;
    std::vector<std::string> args;  // before FILE
    bool writes = false;            // takes an OUT after FILE
    bool copies = false;            // writes as much as it reads: the floor adds a copy of the file
    bool from_export = false;       // FILE is the log's export --format jsonl
};

const std::vector<log_tool_run>& log_tool_runs() {
    static const std::vector<log_tool_run> runs = {
        {"info", {"info"}},
        {"check", {"check"}},
        {"repair", {"repair"}, true, true},
        {"slice (keeping all)", {"slice"}, true, true},
        {"retime --speed 2", {"retime", "--speed", "2"}, true, true},
        {"print", {"print"}, false, true},
        {"export --format jsonl", {"export", "--format", "jsonl"}, true, true},
        {"export --format csv", {"export", "--format", "csv"}, true, true},
        {"import (of the jsonl export)", {"import"}, true, true, true},
    };
    return runs;
}

// The log's rows as export --format jsonl writes them, for import's rows.
std::string exported(const programs& p, const work_dir& dir, const std::string& log) {
    std::string rows = log + ".jsonl";
    redirect io;
    io.err = dir.file("export.err");
    expect_ok(run({p.rorezuredi_log, "export", log, rows}, "", io), "rorezuredi-log export", io.err);
    return rows;
}

run_result log_tool(const programs& p, const work_dir& dir, const log_tool_run& t, const std::string& log) {
    std::vector<std::string> argv{p.rorezuredi_log};
    argv.insert(argv.end(), t.args.begin(), t.args.end());
    argv.push_back(log);
    const std::string out = dir.file("log-tool.out.xml");
    if (t.writes) argv.push_back(out);
    redirect io;
    io.out = dir.file("log-tool.stdout");
    io.err = dir.file("log-tool.err");
    run_result r = run(argv, "", io);
    expect_ok(r, "rorezuredi-log " + t.args.front(), io.err);
    std::remove(out.c_str());
    return r;
}

// ---- the table -------------------------------------------------------------

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string with_commas(long v) {
    const std::string digits = std::to_string(v);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

struct row {
    std::string figure, measured, floor, ratio, goal, verdict;
};

// Width on screen: UTF-8 continuation bytes take no column.
size_t columns(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xc0) != 0x80;
    return n;
}

void print_table(const std::vector<row>& rows) {
    const row head{"figure", "measured", "floor", "ratio", "goal", "verdict"};
    auto fields = [](const row& r) {
        return std::vector<const std::string*>{&r.figure, &r.measured, &r.floor,
                                               &r.ratio,  &r.goal,     &r.verdict};
    };
    std::vector<size_t> w(6, 0);
    for (const row* r : {&head})
        for (int i = 0; i < 6; ++i) w[i] = std::max(w[i], columns(*fields(*r)[i]));
    for (const row& r : rows)
        for (int i = 0; i < 6; ++i) w[i] = std::max(w[i], columns(*fields(r)[i]));
    auto line = [&](const row& r) {
        std::string out = "|";
        const auto f = fields(r);
        for (int i = 0; i < 6; ++i) out += " " + *f[i] + std::string(w[i] - columns(*f[i]), ' ') + " |";
        std::puts(out.c_str());
    };
    line(head);
    std::string sep = "|";
    for (int i = 0; i < 6; ++i) sep += std::string(w[i] + 2, '-') + "|";
    std::puts(sep.c_str());
    for (const row& r : rows) line(r);
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

void progress(const std::string& text) {
    std::fprintf(stderr, "tool_bench: %s\n", text.c_str());
}

// Capture and the null subscriber taking a backlog written while they were
// stopped, against the writer's own commit rate; capture under 1, 2 and 4
// writers at full priority.
void store_load_rows(const programs& p, const work_dir& dir, int runs, std::vector<row>& rows) {
    // ---- a backlog, and several writers --------------------------------------
    progress("draining a backlog");
    const long backlog = 200000;
    const std::string backlog_file = dir.file("backlog.batch");
    write_set_batches(backlog_file, "drain", backlog);
    drain_result null_drain, tool_drain;  // the best of each, with its own writer's rate
    for (int r = 0; r < runs; ++r) {
        for (const bool tool : {false, true}) {
            const drain_result d =
                drain_run(p, dir, (tool ? "drain-tool-" : "drain-null-") + std::to_string(r), backlog_file,
                          backlog, tool);
            drain_result& best = tool ? tool_drain : null_drain;
            if (d.drain_rate / d.write_rate > best.drain_rate / std::max(best.write_rate, 1.0)) best = d;
        }
    }
    for (const bool tool : {true, false}) {
        const drain_result& d = tool ? tool_drain : null_drain;
        const double goal = tool ? 5 : 8;
        rows.push_back({std::string(tool ? "capture" : "the null subscriber") + " taking a backlog of " +
                            with_commas(backlog) + " five-leaf batches",
                        fmt("%.0f batches/s", d.drain_rate),
                        fmt("veltctl batch %.0f batches/s", d.write_rate),
                        fmt("%.2f", d.drain_rate / d.write_rate), fmt("≥ %.0f", goal),
                        verdict(d.drain_rate / d.write_rate >= goal)});
    }
    progress("capture under 1, 2 and 4 writers");
    const long writer_lines = 20000;
    const int load_s = 30;
    std::vector<std::string> writer_files;
    for (int k = 0; k < 4; ++k) {
        writer_files.push_back(dir.file("writer" + std::to_string(k) + ".batch"));
        write_set_batches(writer_files.back(), "w" + std::to_string(k), writer_lines);
    }
    for (const int n : {1, 2, 4}) {
        const load_result l =
            load_run(p, dir, "load-" + std::to_string(n), n, writer_files, writer_lines, load_s);
        const double share = double(l.max_pending) / double(std::max(l.written, 1L));
        rows.push_back(
            {"capture under " + std::to_string(n) + " writer" + (n > 1 ? "s" : "") + " at full priority, " +
                 std::to_string(load_s) + " s",
             "pending ≤ " + with_commas(l.max_pending) + (l.cut_off ? ", CUT OFF" : ", not cut off"),
             with_commas(l.written) + " batches written", fmt("%.3f %%", 100 * share), "not cut off, < 1 %",
             verdict(!l.cut_off && share < 0.01)});
    }
}

// ---- the store's state ------------------------------------------------------

// A process's resident size in KiB (VmRSS), or 0.
long resident_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// state against info on the same log; its peak memory against veltd holding
// the tree the log leaves; snapshot of a store of `events` leaves against
// veltctl dump of it.
void state_rows(const programs& p, const work_dir& dir, int runs, long events, const std::string& log,
                std::vector<row>& rows) {
    best_of info, state;
    for (int r = 0; r < runs; ++r) {
        info.add(log_tool(p, dir, {"info", {"info"}, false}, log));
        state.add(log_tool(p, dir, {"state", {"state"}, false}, log));
    }
    rows.push_back({"rorezuredi-log state, " + with_commas(events) + " events",
                    fmt("%.2f s", state.wall) + fmt(" (cpu %.2f s)", state.cpu),
                    fmt("info %.2f s", info.wall), fmt("%.2f", state.wall / info.wall), "≤ 1.5",
                    verdict(state.wall / info.wall <= 1.5)});
    long held_kib = 0;
    {
        store s(p.veltd, dir.file("state-store"));
        expect_ok(replay(p, s, log, dir.file("state-replay.err")).total, "replay");
        held_kib = resident_kib(s.pid());
    }
    const double mem_ratio = double(state.max_rss_kib) / double(std::max(held_kib, 1L));
    rows.push_back({"  peak memory of state", fmt("%.1f MB", double(state.max_rss_kib) * 1024.0 / 1e6),
                    fmt("veltd holding the tree %.1f MB", double(held_kib) * 1024.0 / 1e6),
                    fmt("%.2f", mem_ratio), "≤ 1.5", verdict(mem_ratio <= 1.5)});

    const std::string leaves = dir.file("leaves.batch");
    {
        std::ofstream f(leaves);
        for (long k = 0; k < events; ++k)
            f << (k % 100 == 0 ? (k == 0 ? "set" : "\nset") : "") << " /s/n" << k % 97 << "/m" << k % 13
              << "/l" << k << " uint32 " << k;
        f << "\n";
    }
    store s(p.veltd, dir.file("snapshot-store"));
    redirect io;
    io.err = dir.file("leaves.err");
    expect_ok(run({p.veltctl, "batch", leaves}, s.socket(), io), "veltctl batch", io.err);
    best_of snap, dump;
    for (int r = 0; r < runs; ++r) {
        redirect sio, dio;
        sio.err = dir.file("snapshot.err");
        dio.out = dir.file("dump.out");
        const run_result sr = run({p.rorezuredi_log, "snapshot", dir.file("snapshot.xml")}, s.socket(), sio);
        expect_ok(sr, "rorezuredi-log snapshot", sio.err);
        snap.add(sr);
        const run_result dr = run({p.veltctl, "dump"}, s.socket(), dio);
        expect_ok(dr, "veltctl dump");
        dump.add(dr);
    }
    std::remove(dir.file("snapshot.xml").c_str());
    std::remove(dir.file("dump.out").c_str());
    rows.push_back({"rorezuredi-log snapshot, " + with_commas(events) + " leaves",
                    fmt("%.2f s", snap.wall) + fmt(", %.0f MB peak", double(snap.max_rss_kib) * 1024.0 / 1e6),
                    fmt("veltctl dump %.2f s", dump.wall), fmt("%.2f", snap.wall / dump.wall), "≤ 2.0",
                    verdict(snap.wall / dump.wall <= 2.0)});
}

}  // namespace

int main(int argc, char** argv) {
    long events = 1000000;
    int runs = 3;
    std::string bin_dir;
    bool large = true;
    bool store_load_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--events" && i + 1 < argc) {
            events = std::atol(argv[++i]);
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (a == "--bin-dir" && i + 1 < argc) {
            bin_dir = argv[++i];
        } else if (a == "--no-large") {
            large = false;
        } else if (a == "--store-load-only") {
            store_load_only = true;
        } else {
            std::fprintf(stderr,
                         "usage: tool_bench [--events N] [--runs R] [--bin-dir DIR] [--no-large] "
                         "[--store-load-only]\n");
            return 2;
        }
    }
    if (events < 1000 || runs < 1) {
        std::fprintf(stderr, "tool_bench: at least 1000 events and 1 run\n");
        return 2;
    }
    // A child killed by the driver must not take the driver with it.
    signal(SIGPIPE, SIG_IGN);

    try {
        programs p;
        if (!bin_dir.empty()) {
            p.rorezuredi = bin_dir + "/rorezuredi";
            p.veltd = bin_dir + "/veltd";
            p.veltctl = bin_dir + "/veltctl";
            p.rorezuredi_log = bin_dir + "/rorezuredi-log";
        }
        work_dir dir;
        std::vector<row> rows;
        if (store_load_only) {
            store_load_rows(p, dir, runs, rows);
            print_table(rows);
            return 0;
        }

        // Logs: the main one (with its veltctl batch file), smaller ones for
        // growth, an empty one for the baseline, and the pacing log.
        progress("generating logs");
        const std::string main_log = dir.file("main.xml");
        const std::string main_batch = dir.file("main.batch");
        bench::log_options opt;
        opt.events = events;
        const bench::log_summary main_sum = bench::write_log(opt, main_log, main_batch);
        std::vector<long> sizes;
        for (long n = 1000; n < events; n *= 10) sizes.push_back(n);
        sizes.push_back(events);
        std::vector<std::string> growth_logs;
        for (long n : sizes) {
            if (n == events) {
                growth_logs.push_back(main_log);
                continue;
            }
            bench::log_options o;
            o.events = n;
            growth_logs.push_back(dir.file("growth-" + std::to_string(n) + ".xml"));
            bench::write_log(o, growth_logs.back(), "");
        }
        const std::string empty_log = dir.file("empty.xml");
        {
            std::ofstream f(empty_log);
            f << "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<dump>\n</dump>\n";
        }
        const long pacing_batches = 2000, pacing_spacing_us = 1000;
        const std::string pacing_log = dir.file("pacing.xml");
        bench::log_options po;
        po.events = pacing_batches;
        po.pacing = true;
        po.spacing_us = pacing_spacing_us;
        bench::write_log(po, pacing_log, "");

        // ---- reading and memory ------------------------------------------
        progress("reading " + with_commas(events) + " events");
        best_of tool_read, xmlwf_read, loop_read, baseline;
        {
            store s(p.veltd, dir.file("read-store"));
            const std::string err = dir.file("read.err");
            for (int r = 0; r < runs; ++r) {
                redirect xio;
                xio.out = dir.file("xmlwf.out");
                const run_result x = run({p.xmlwf, main_log}, "", xio);
                if (x.status != 0 || !read_file(xio.out).empty())
                    fail("xmlwf refused the log: " + read_file(xio.out));
                xmlwf_read.add(x);
                tool_read.add(read_only(p, s, main_log, err));
                const run_result l = run({p.expat_loop, main_log});
                expect_ok(l, "expat_loop");
                loop_read.add(l);
            }
            baseline.add(read_only(p, s, empty_log, err));
        }
        const double mb = double(main_sum.log_bytes) / 1e6;
        const double read_ratio = tool_read.wall / xmlwf_read.wall;
        rows.push_back(
            {"read " + with_commas(events) + " events (" + fmt("%.0f MB", mb) + "), all refused by -p",
             fmt("%.2f s", tool_read.wall) + fmt(" (cpu %.2f s)", tool_read.cpu),
             fmt("xmlwf %.2f s", xmlwf_read.wall) + fmt(" (cpu %.2f s)", xmlwf_read.cpu),
             fmt("%.2f", read_ratio), "≤ 1.3", verdict(read_ratio <= 1.3)});
        rows.push_back({"  the same read loop, handlers doing nothing",
                        fmt("%.2f s", loop_read.wall) + fmt(" (cpu %.2f s)", loop_read.cpu),
                        fmt("xmlwf %.2f s", xmlwf_read.wall), fmt("%.2f", loop_read.wall / xmlwf_read.wall),
                        "", "design floor"});
        const double peak = double(tool_read.max_rss_kib) * 1024.0;
        const double base = double(baseline.max_rss_kib) * 1024.0;
        const double mem_ratio = peak / double(main_sum.log_bytes);
        rows.push_back(
            {"peak memory reading that log",
             fmt("%.1f MB", peak / 1e6) + fmt(" (%.0f B/event)", (peak - base) / double(events)),
             fmt("file %.1f MB", mb) + fmt(" (%.0f B/event)", double(main_sum.log_bytes) / double(events)),
             fmt("%.2f", mem_ratio), "≤ 1.0", verdict(mem_ratio <= 1.0)});

        // ---- growth ---------------------------------------------------------
        progress("growth");
        std::vector<std::pair<best_of, uint64_t>> growth;
        {
            store s(p.veltd, dir.file("growth-store"));
            for (size_t i = 0; i < sizes.size(); ++i) {
                best_of b;
                if (sizes[i] == events) {
                    b = tool_read;
                } else {
                    for (int r = 0; r < runs; ++r)
                        b.add(read_only(p, s, growth_logs[i], dir.file("growth.err")));
                }
                growth.emplace_back(b, file_size(growth_logs[i]));
            }
        }
        // Linear growth: each step up costs the same per added event, in time
        // and in memory, as the step before it (start-up cost aside).
        double first_slope_us = 0, last_slope_us = 0, first_slope_b = 0, last_slope_b = 0;
        for (size_t i = 0; i < sizes.size(); ++i) {
            const best_of& b = growth[i].first;
            std::string marginal;
            if (i > 0) {
                const best_of& prev = growth[i - 1].first;
                const double added = double(sizes[i] - sizes[i - 1]);
                last_slope_us = (b.wall - prev.wall) / added * 1e6;
                last_slope_b = double(b.max_rss_kib - prev.max_rss_kib) * 1024.0 / added;
                if (i == 1) {
                    first_slope_us = last_slope_us;
                    first_slope_b = last_slope_b;
                }
                marginal = fmt("+%.2f µs", last_slope_us) + fmt(", +%.0f B per added event", last_slope_b);
            }
            const bool last = i + 1 == sizes.size();
            const double ratio = first_slope_us > 0 ? last_slope_us / first_slope_us : 0;
            const double ratio_b = first_slope_b > 0 ? last_slope_b / first_slope_b : 0;
            rows.push_back(
                {"growth: read " + with_commas(sizes[i]) + " events (" +
                     fmt("%.2f MB", double(growth[i].second) / 1e6) + ")",
                 fmt("%.3f s", b.wall) + fmt(", %.1f MB peak", double(b.max_rss_kib) * 1024.0 / 1e6),
                 marginal, last && sizes.size() > 2 ? fmt("%.2f", ratio) + fmt(" / %.2f", ratio_b) : "",
                 last ? "linear" : "",
                 last && sizes.size() > 2 ? verdict(ratio <= 1.3 && ratio_b <= 1.3) : ""});
        }

        // ---- rorezuredi-log ---------------------------------------------------------
        // Before the replay rows: a child's peak memory counts the image it
        // was forked from, so children are measured while this process is
        // still small (the replay rows read whole dumps into it).
        progress("rorezuredi-log on " + with_commas(events) + " events");
        {
            best_of cat_copy;
            const std::string copy = dir.file("copy.xml");
            for (int r = 0; r < runs; ++r) {
                redirect io;
                io.out = copy;
                const run_result c = run({"/bin/cat", main_log}, "", io);
                expect_ok(c, "cat");
                cat_copy.add(c);
            }
            std::remove(copy.c_str());
            const double write_floor = xmlwf_read.wall + cat_copy.wall;
            std::string large_log;
            if (large) {
                progress("generating a log of " + with_commas(10 * events) + " events");
                large_log = dir.file("large.xml");
                bench::log_options lo;
                lo.events = 10 * events;
                bench::write_log(lo, large_log, "");
            }
            const std::string main_rows = exported(p, dir, main_log);
            const std::string large_rows = large ? exported(p, dir, large_log) : "";
            for (const log_tool_run& t : log_tool_runs()) {
                best_of b;
                for (int r = 0; r < runs; ++r)
                    b.add(log_tool(p, dir, t, t.from_export ? main_rows : main_log));
                const bool reads_only = !t.copies;
                const double floor = reads_only ? xmlwf_read.wall : write_floor;
                const double limit = reads_only ? 1.2 : 2.0;
                const double ratio = b.wall / floor;
                rows.push_back({"rorezuredi-log " + t.name + ", " + with_commas(events) + " events",
                                fmt("%.2f s", b.wall) + fmt(" (cpu %.2f s)", b.cpu),
                                reads_only ? fmt("xmlwf %.2f s", xmlwf_read.wall)
                                           : fmt("xmlwf + cat %.2f s", write_floor),
                                fmt("%.2f", ratio), fmt("≤ %.1f", limit), verdict(ratio <= limit)});
                const double mb_small = double(b.max_rss_kib) * 1024.0 / 1e6;
                if (large) {
                    progress("rorezuredi-log " + t.name + " on " + with_commas(10 * events) + " events");
                    const run_result big = log_tool(p, dir, t, t.from_export ? large_rows : large_log);
                    const double mb_large = double(big.max_rss_kib) * 1024.0 / 1e6;
                    rows.push_back(
                        {"  peak memory, " + with_commas(events) + " / " + with_commas(10 * events) +
                             " events",
                         fmt("%.1f MB", mb_small) + fmt(" / %.1f MB", mb_large), "", "", "≤ 32 MB, flat",
                         verdict(std::max(mb_small, mb_large) <= 32 && std::abs(mb_large - mb_small) < 10)});
                } else {
                    rows.push_back({"  peak memory, " + with_commas(events) + " events",
                                    fmt("%.1f MB", mb_small), "", "", "≤ 32 MB", verdict(mb_small <= 32)});
                }
            }
            for (const std::string& f : {large_log, main_rows, large_rows})
                if (!f.empty()) std::remove(f.c_str());

            // The same log compressed with zstd: read directly, against
            // decompressing it into xmlwf through a pipe.
            const std::string packed = dir.file("main.xml.zst");
            expect_ok(run({p.zstd, "-q", "-f", main_log, "-o", packed}), "zstd");
            best_of unpack_floor;
            for (int r = 0; r < runs; ++r) {
                const run_result f = run({"/bin/sh", "-c", p.zstd + " -dcq " + packed + " | " + p.xmlwf});
                expect_ok(f, "zstdcat | xmlwf");
                unpack_floor.add(f);
            }
            for (const log_tool_run& t : log_tool_runs()) {
                if (t.writes || t.copies) continue;
                best_of b;
                for (int r = 0; r < runs; ++r) b.add(log_tool(p, dir, t, packed));
                const double ratio = b.wall / unpack_floor.wall;
                rows.push_back({"rorezuredi-log " + t.name + ", " + with_commas(events) + " events, zstd",
                                fmt("%.2f s", b.wall) + fmt(" (cpu %.2f s)", b.cpu),
                                fmt("zstdcat | xmlwf %.2f s", unpack_floor.wall), fmt("%.2f", ratio), "≤ 1.3",
                                verdict(ratio <= 1.3)});
            }
            std::remove(packed.c_str());
        }

        progress("state and snapshot");
        state_rows(p, dir, runs, events, main_log, rows);

        // ---- replay -------------------------------------------------------------
        progress("replay against veltctl batch");
        best_of ctl_best, replay_best;
        double apply_best = 1e300;
        bool same = true;
        for (int r = 0; r < runs; ++r) {
            std::vector<velt::admin::dump_entry> ctl_dump, replay_dump;
            {
                store s(p.veltd, dir.file("ctl-store"));
                redirect io;
                io.err = dir.file("ctl.err");
                const run_result c = run({p.veltctl, "batch", main_batch}, s.socket(), io);
                expect_ok(c, "veltctl batch", io.err);
                ctl_best.add(c);
                if (r == 0) ctl_dump = s.dump();
            }
            {
                store s(p.veltd, dir.file("replay-store"));
                const replay_result rr = replay(p, s, main_log, dir.file("replay.err"));
                replay_best.add(rr.total);
                apply_best = std::min(apply_best, rr.total.wall - rr.read_phase);
                if (r == 0) replay_dump = s.dump();
            }
            if (r == 0) same = same_data(ctl_dump, replay_dump) && !ctl_dump.empty();
        }
        const double ctl_eps = double(events) / ctl_best.wall;
        const double replay_eps = double(events) / replay_best.wall;
        const double apply_eps = double(events) / apply_best;
        rows.push_back({"replay, no delay, every batch sent" + std::string(same ? "" : " (STORES DIFFER)"),
                        fmt("%.0f events/s", replay_eps) + fmt(" (%.2f s)", replay_best.wall),
                        fmt("veltctl %.0f events/s", ctl_eps) + fmt(" (%.2f s)", ctl_best.wall),
                        fmt("%.2f", replay_eps / ctl_eps), "≥ 0.9",
                        verdict(same && replay_eps / ctl_eps >= 0.9)});
        rows.push_back({"  the requests alone, after the read",
                        fmt("%.0f events/s", apply_eps) + fmt(" (%.2f s)", apply_best),
                        fmt("veltctl %.0f events/s", ctl_eps), fmt("%.2f", apply_eps / ctl_eps), "", ""});

        // ---- capture --------------------------------------------------------------
        progress("capture against a null subscriber");
        capture_result null_best, tool_best;
        null_best.seconds = tool_best.seconds = 1e300;
        for (int r = 0; r < runs; ++r) {
            capture_result n = capture_run(p, dir, "null-" + std::to_string(r), main_batch, false);
            capture_result t = capture_run(p, dir, "capture-" + std::to_string(r), main_batch, true);
            if (n.seconds < null_best.seconds) null_best = n;
            if (t.seconds < tool_best.seconds) tool_best = t;
            null_best.max_pending = std::max(null_best.max_pending, n.max_pending);
            tool_best.max_pending = std::max(tool_best.max_pending, t.max_pending);
        }
        const double null_eps = double(events) / null_best.seconds;
        const double cap_eps = double(events) / tool_best.seconds;
        rows.push_back({"capture under veltctl batch at full speed",
                        fmt("%.0f events/s", cap_eps) + ", pending ≤ " +
                            std::to_string(tool_best.max_pending) + " (" + tool_best.summary + ")",
                        fmt("null subscriber %.0f events/s", null_eps) + ", pending ≤ " +
                            std::to_string(null_best.max_pending),
                        fmt("%.2f", cap_eps / null_eps), "≥ 0.9", verdict(cap_eps / null_eps >= 0.9)});

        store_load_rows(p, dir, runs, rows);

        // ---- pacing ---------------------------------------------------------------
        progress("pacing with -d");
        pacing_result pr;
        for (int r = 0; r < runs; ++r)
            pacing_run(p, dir, "pacing-" + std::to_string(r), pacing_log, pacing_spacing_us, pr);
        const double median = percentile(pr.lateness_us, 0.5);
        const double p99 = percentile(pr.lateness_us, 0.99);
        const double worst = percentile(pr.lateness_us, 1.0);
        rows.push_back(
            {"pacing -d, " + with_commas(pacing_batches) + " batches 1 ms apart (" + std::to_string(runs) +
                 " runs)",
             fmt("median %.0f µs", median) + fmt(", p99 %.0f µs", p99) + fmt(", max %.0f µs", worst),
             "the log's own times", "", "≤ 100 µs, ≤ 1 ms", verdict(median <= 100 && p99 <= 1000)});

        // ---- the store's own figures, for context ---------------------------------
        if (!p.store_bench.empty()) {
            progress("store_bench");
            redirect io;
            io.out = dir.file("store_bench.out");
            io.err = dir.file("store_bench.err");
            std::vector<std::string> argv{p.store_bench};
            if (!bin_dir.empty()) argv.insert(argv.end(), {"--veltd", p.veltd});
            expect_ok(run(argv, "", io), "store_bench", io.err);
            // Lines of "measure   result" after a header line.
            const std::string text = read_file(io.out);
            size_t pos = text.find('\n');
            while (pos != std::string::npos && pos + 1 < text.size()) {
                const size_t end = text.find('\n', pos + 1);
                std::string line =
                    text.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
                pos = end;
                const size_t cut = line.find_last_of(' ');
                if (cut == std::string::npos) continue;
                std::string name = line.substr(0, cut);
                while (!name.empty() && name.back() == ' ') name.pop_back();
                rows.push_back({"store: " + name, line.substr(cut + 1), "", "", "", "store_bench"});
            }
        }

        std::printf(
            "rorezuredi benchmarks: %s events in %s batches; best of %d runs (memory: the largest)\n\n",
            with_commas(events).c_str(), with_commas(main_sum.batches).c_str(), runs);
        print_table(rows);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tool_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
