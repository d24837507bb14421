// retime: being written.
#include <cstdio>

#include "commands.h"
#include "log_io.h"

namespace logtool {

command add_retime(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("retime", "(not yet built)");
    return {sub, [] {
                std::fputs("rorezuredi-log: retime is not built yet\n", stderr);
                return exit_usage;
            }};
}

}  // namespace logtool
