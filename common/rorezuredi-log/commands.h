// The subcommands of rorezuredi-log. Each add_* function adds its subcommand
// with its options to the program's command line and returns what runs it
// once the command line has been parsed.
#ifndef ROREZUREDI_LOG_COMMANDS_H
#define ROREZUREDI_LOG_COMMANDS_H

#include <CLI/CLI.hpp>

#include <functional>

namespace logtool {

struct command {
    CLI::App* app = nullptr;
    std::function<int()> run;  // the exit status
};

command add_info(CLI::App& app);
command add_check(CLI::App& app);
command add_repair(CLI::App& app);
command add_slice(CLI::App& app);
command add_merge(CLI::App& app);
command add_retime(CLI::App& app);
command add_timeline(CLI::App& app);

}  // namespace logtool

#endif
