// timeline: being written.
#include <cstdio>

#include "commands.h"
#include "log_io.h"

namespace logtool {

command add_timeline(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("timeline", "(not yet built)");
    return {sub, [] {
                std::fputs("rorezuredi-log: timeline is not built yet\n", stderr);
                return exit_usage;
            }};
}

}  // namespace logtool
