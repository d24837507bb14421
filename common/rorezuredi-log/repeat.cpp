// repeat: N copies of a log one after the other, each shifted past the one
// before it, and with --map-each each on a subtree of its own: one captured
// burst becomes a load test. It reads its input once per copy, so that its
// memory stays flat. The output has one start, the input's, and the copies
// follow on its axis.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "log_cursor.h"
#include "log_writer.h"

namespace logtool {

namespace {

int refuse_unsaved(const std::string& name) {
    std::fprintf(stderr,
                 "rorezuredi-log: repeat reads its input once per copy, and '%s' can be read only once; "
                 "save the log to a file first\n",
                 name == "-" ? "standard input" : name.c_str());
    return exit_usage;
}

int refuse_changed(const std::string& name) {
    std::fprintf(stderr, "rorezuredi-log: '%s' changed while repeat read it; run it again\n", name.c_str());
    return exit_refused;
}

// The file the first pass read: every later pass must read the same one.
struct file_identity {
    dev_t dev;
    ino_t ino;
    long long size;
    bool same(const input_log& in) const { return in.dev == dev && in.ino == ino && in.size == size; }
};

// Writes the copies one after the other on the output's axis.
class copier {
public:
    copier(output_file& out, nanos gap) : m_writer(out), m_gap(gap) {}

    // Writes copy `k` of the log `cursor` reads, its paths mapped by `map`.
    int copy(log_cursor& cursor, long long k, const path_map& map) {
        // Copy k begins `gap` after the last batch of copy k-1.
        const nanos offset = k == 0 ? 0 : m_last + m_gap - m_first;
        nanos previous = 0;
        for (log_batch b; cursor.next(b);) {
            const nanos t = to_nanos(b.batch.time);
            if (b.index > 0 && t < previous) return cursor.refuse_disorder(b.index);
            previous = t;
            if (k == 0 && b.index == 0) m_first = t;
            // Times written strictly increase, so that replay keeps this order.
            const nanos when = std::max(t + offset, m_last + 1);
            if (!to_timespec(when, b.batch.time)) {
                std::fprintf(stderr,
                             "rorezuredi-log: copy %lld of '%s' would go past the times a log holds\n", k,
                             cursor.input().display().c_str());
                return exit_refused;
            }
            m_last = when;
            map.apply(b.batch, m_unused);
            m_writer.write(b.batch, k == 0 ? b.start : m_start);
        }
        if (cursor.failed()) return cursor.refuse();
        if (k == 0) {
            m_per_copy = cursor.batches();
            m_start = cursor.start();
        } else if (cursor.batches() != m_per_copy) {
            return refuse_changed(cursor.input().display());
        }
        return exit_ok;
    }

    bool empty() const { return m_per_copy == 0; }
    bool finish() { return m_writer.finish(m_start); }
    const log_writer& writer() const { return m_writer; }

private:
    log_writer m_writer;
    nanos m_gap;
    nanos m_first = 0, m_last = -1;
    long long m_per_copy = 0;
    std::optional<nanos> m_start;  // the input's, as replay of it would use
    std::vector<long long> m_unused;
};

}  // namespace

int run_repeat(const repeat_options& o) {
    if (o.file == "-") return refuse_unsaved(o.file);
    std::optional<input_log> in = open_input(o.file);
    if (!in) return exit_usage;
    if (!in->regular) return refuse_unsaved(o.file);
    const file_identity id{in->dev, in->ino, in->size};
    output_file out;
    if (!out.open(o.out, {&*in})) return exit_usage;

    copier copies(out, o.gap);
    for (long long k = 0; k < o.copies && !(k > 0 && copies.empty()); ++k) {
        if (k > 0 && !(in = open_input(o.file))) return exit_usage;
        if (!id.same(*in)) return refuse_changed(in->display());
        log_cursor cursor(std::move(*in));
        if (const int status = copies.copy(cursor, k, o.map_each.for_copy(k)); status != exit_ok)
            return status;
    }
    if (!copies.finish()) return exit_usage;
    std::fprintf(stderr, "repeat: wrote %lld copies, %lld batches, %lld events\n", o.copies,
                 copies.writer().batches(), copies.writer().events());
    return exit_ok;
}

}  // namespace logtool
