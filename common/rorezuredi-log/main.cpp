// rorezuredi-log: looks into, checks, repairs and reshapes rorezuredi event
// logs. Every subcommand streams the log batch by batch through rorezuredi's
// own reader, so it accepts exactly what replay accepts.
#include <cstdio>
#include <exception>
#include <vector>

#include "commands.h"
#include "log_io.h"

namespace {

int run_program(int argc, char** argv) {
    CLI::App app{
        "Looks into, checks, repairs, slices, merges, retimes and charts rorezuredi event logs.\n"
        "FILE may be - for standard input and OUT - for standard output. Exit status: 0 success,\n"
        "1 the log was refused (or check --strict drew warnings), 2 a usage error or a file\n"
        "that can't be opened or written.",
        "rorezuredi-log"};
    app.set_version_flag("--version", ROREZUREDI_VERSION);
    app.require_subcommand(1, 1);
    app.fallthrough(false);

    const std::vector<logtool::command> commands = {
        logtool::add_info(app),     logtool::add_check(app), logtool::add_repair(app),
        logtool::add_slice(app),    logtool::add_merge(app), logtool::add_retime(app),
        logtool::add_timeline(app),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::fprintf(stderr, "rorezuredi-log: %s (see rorezuredi-log --help)\n", e.what());
        return logtool::exit_usage;
    }
    for (const logtool::command& c : commands)
        if (c.app->parsed()) return c.run();
    return logtool::exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run_program(argc, argv);
    } catch (const std::exception& e) {
        // Out of memory and the like: one line, and the output, if any, is
        // not renamed into place.
        std::fprintf(stderr, "rorezuredi-log: %s\n", e.what());
        return logtool::exit_usage;
    }
}
