// The subcommands of rorezuredi-log: the options each one takes, as its
// command line gives them (already checked there), and the function that runs
// it and returns the exit status. cli.cpp builds the command line over these.
#ifndef ROREZUREDI_LOG_COMMANDS_H
#define ROREZUREDI_LOG_COMMANDS_H

#include <string>
#include <vector>

#include "log_io.h"

namespace logtool {

struct info_options {
    bool json = false;
    std::string file;
};

struct check_options {
    bool json = false;
    bool strict = false;
    std::string max_gap_text = "3600";
    std::string file;
};

struct repair_options {
    std::string file, out;
};

struct slice_options {
    std::string from_text, to_text, batches_text;
    path_filter_args filter;
    std::vector<std::string> actions;
    bool rebase = false;
    std::string file, out;
};

struct merge_options {
    std::string out;
    std::vector<std::string> files;
};

struct retime_options {
    std::string speed_text, max_gap_text, shift_text, start_text;
    bool sort = false;
    std::string file, out;
};

struct timeline_options {
    std::string bin_text, svg, png, file;
};

struct state_options {
    std::string at_text;
    bool times = false, json = false, keep_going = false;
    std::vector<std::string> files;
};

struct diff_options {
    std::string from_text, to_text;
    bool json = false, keep_going = false;
    std::vector<std::string> files;
};

struct verify_options {
    bool times = false, keep_going = false;
    std::vector<std::string> paths;
    std::vector<std::string> files;
};

struct snapshot_options {
    std::vector<std::string> paths;
    std::string out;
};

int run_info(const info_options& o);
int run_check(const check_options& o);
int run_repair(const repair_options& o);
int run_slice(const slice_options& o);
int run_merge(const merge_options& o);
int run_retime(const retime_options& o);
int run_timeline(const timeline_options& o);
int run_state(const state_options& o);
int run_diff(const diff_options& o);
int run_verify(const verify_options& o);
int run_snapshot(const snapshot_options& o);

}  // namespace logtool

#endif
