// Runs a rorezuredi-log subcommand in this process, with its standard output
// and standard error caught in files: fast enough to run once per byte of a
// small log.
#ifndef LOGTOOL_IN_PROCESS_H
#define LOGTOOL_IN_PROCESS_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "harness.h"

struct in_process_result {
    int status = -1;
    std::string out;
    std::string err;
};

inline in_process_result run_in_process(logtool::command (*add)(CLI::App&), std::vector<std::string> args,
                                        const harness::temp_dir& dir) {
    const std::string out_file = dir.file(".stdout"), err_file = dir.file(".stderr");
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = dup(1), saved_err = dup(2);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    in_process_result r;
    if (out >= 0 && err >= 0) {
        dup2(out, 1);
        dup2(err, 2);
        r.status = logtool::run_subcommand(add, std::move(args));
    }
    std::fflush(stdout);
    std::fflush(stderr);
    for (const int fd : {out, err})
        if (fd >= 0) close(fd);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    r.out = harness::read_file(out_file);
    r.err = harness::read_file(err_file);
    // Removed rather than truncated next time: the file system writes a
    // truncated file out to disk, which makes runs by the thousand slow.
    unlink(out_file.c_str());
    unlink(err_file.c_str());
    return r;
}

#endif
