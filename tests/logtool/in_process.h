// Runs a rorezuredi-log subcommand in this process, with its standard output
// and standard error caught in memory files: fast enough to run once per byte
// of a small log.
#ifndef LOGTOOL_IN_PROCESS_H
#define LOGTOOL_IN_PROCESS_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "harness.h"

struct in_process_result {
    int status = -1;
    std::string out, err;
};

inline in_process_result run_in_process(logtool::command (*add)(CLI::App&), std::vector<std::string> args,
                                        const harness::temp_dir& /*dir*/) {
    int saved[2], caught[2];
    std::fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
        saved[i] = dup(i + 1);
        caught[i] = memfd_create("caught", 0);
        dup2(caught[i], i + 1);
    }
    in_process_result r{logtool::run_subcommand(add, std::move(args))};
    std::fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
        dup2(saved[i], i + 1);
        close(saved[i]);
        (i == 0 ? r.out : r.err) = harness::read_file("/proc/self/fd/" + std::to_string(caught[i]));
        close(caught[i]);
    }
    return r;
}

#endif
