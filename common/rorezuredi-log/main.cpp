// rorezuredi-log: looks into, checks, repairs and reshapes rorezuredi event
// logs. Every subcommand streams the log batch by batch through rorezuredi's
// own reader, so it accepts exactly what replay accepts.
#include <cstdio>
#include <exception>

#include "cli.h"
#include "log_input.h"

int main(int argc, char** argv) {
    try {
        return logtool::run_program(argc, argv, ROREZUREDI_VERSION);
    } catch (const std::exception& e) {
        // Out of memory and the like: one line, and the output, if any, is
        // not renamed into place.
        std::fprintf(stderr, "rorezuredi-log: %s\n", e.what());
        return logtool::exit_usage;
    }
}
