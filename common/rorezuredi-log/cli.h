// rorezuredi-log's command line. Each add_* function adds its subcommand with
// its options to the program's command line and returns what runs it once the
// command line has been parsed. Only cli.cpp sees CLI11 itself.
#ifndef ROREZUREDI_LOG_CLI_H
#define ROREZUREDI_LOG_CLI_H

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace logtool {

struct selection;

struct command {
    CLI::App* app = nullptr;
    std::function<int()> run;  // the exit status
};

// The options of a selection (--from, --to, --batches, -p, -x, -a, -i,
// --action) on subcommand `sub`, each parsed into `s` as it is read.
void add_selection(CLI::App& sub, selection& s);

command add_info(CLI::App& app);
command add_check(CLI::App& app);
command add_repair(CLI::App& app);
command add_slice(CLI::App& app);
command add_merge(CLI::App& app);
command add_retime(CLI::App& app);
command add_timeline(CLI::App& app);
command add_print(CLI::App& app);
command add_export(CLI::App& app);
command add_import(CLI::App& app);
command add_rewrite(CLI::App& app);
command add_repeat(CLI::App& app);
command add_state(CLI::App& app);
command add_diff(CLI::App& app);
command add_verify(CLI::App& app);
command add_snapshot(CLI::App& app);

// The program: parses the command line, runs the subcommand it names and
// returns the exit status.
int run_program(int argc, char** argv, const char* version);

// Runs one subcommand, as `add` defines it, over `args` (what follows its
// name); a command line it does not take throws CLI11's parse error.
int run_subcommand(command (*add)(CLI::App&), std::vector<std::string> args);

}  // namespace logtool

#endif
