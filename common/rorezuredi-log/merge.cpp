// merge: being written.
#include <cstdio>

#include "commands.h"
#include "log_io.h"

namespace logtool {

command add_merge(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("merge", "(not yet built)");
    return {sub, [] {
                std::fputs("rorezuredi-log: merge is not built yet\n", stderr);
                return exit_usage;
            }};
}

}  // namespace logtool
