// info: being written.
#include <cstdio>

#include "commands.h"
#include "log_io.h"

namespace logtool {

command add_info(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("info", "(not yet built)");
    return {sub, [] {
                std::fputs("rorezuredi-log: info is not built yet\n", stderr);
                return exit_usage;
            }};
}

}  // namespace logtool
