// check: being written.
#include <cstdio>

#include "commands.h"
#include "log_io.h"

namespace logtool {

command add_check(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("check", "(not yet built)");
    return {sub, [] {
                std::fputs("rorezuredi-log: check is not built yet\n", stderr);
                return exit_usage;
            }};
}

}  // namespace logtool
