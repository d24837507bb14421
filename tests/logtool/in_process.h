// Runs a rorezuredi-log subcommand in this process, with its standard output
// and standard error caught in files: fast enough to run once per byte of a
// small log.
#ifndef LOGTOOL_IN_PROCESS_H
#define LOGTOOL_IN_PROCESS_H

#include <fcntl.h>
#include <unistd.h>

#include <array>
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
                                        const harness::temp_dir& dir) {
    const std::array<std::string, 2> files = {dir.file(".stdout"), dir.file(".stderr")};
    std::array<int, 2> saved{};
    std::fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
        saved[i] = dup(i + 1);
        const int fd = open(files[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, i + 1);
        close(fd);
    }
    in_process_result r{logtool::run_subcommand(add, std::move(args))};
    std::fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
        dup2(saved[i], i + 1);
        close(saved[i]);
    }
    r.out = harness::read_file(files[0]);
    r.err = harness::read_file(files[1]);
    // Removed rather than truncated next time: the file system writes a
    // truncated file out to disk, which makes runs by the thousand slow.
    for (const std::string& f : files) unlink(f.c_str());
    return r;
}

#endif
