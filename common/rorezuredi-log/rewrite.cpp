// rewrite: moves the events of subtrees to other paths (OLD=NEW maps, the
// longest OLD winning), so that a capture fits a store whose tree differs.
// Times and the start are not touched.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "log_cursor.h"
#include "log_writer.h"

namespace logtool {

int run_rewrite(const rewrite_options& o) {
    log_rewrite io;
    if (!io.open(o.file, o.out)) return exit_usage;
    log_cursor& cursor = *io.cursor;

    log_writer writer(io.out);
    std::vector<long long> per_rule(o.map.size());
    for (log_batch b; cursor.next(b);) {
        o.map.apply(b.batch, per_rule);
        writer.write(b.batch, b.start);
    }
    if (cursor.failed()) return cursor.refuse();
    if (!writer.finish(cursor.start())) return exit_usage;
    std::fprintf(stderr, "rewrite: wrote %lld batches, %lld events\n", writer.batches(), writer.events());
    for (std::size_t i = 0; i < o.map.size(); ++i)
        std::fprintf(stderr, "rewrite: %s: %lld events\n", rule_text(o.map.rule(i)).c_str(), per_rule[i]);
    return exit_ok;
}

}  // namespace logtool
