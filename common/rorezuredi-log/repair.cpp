// repair: being written.
#include <cstdio>

#include "commands.h"
#include "log_io.h"

namespace logtool {

command add_repair(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("repair", "(not yet built)");
    return {sub, [] {
                std::fputs("rorezuredi-log: repair is not built yet\n", stderr);
                return exit_usage;
            }};
}

}  // namespace logtool
