// The subcommands of rorezuredi-log: the options each one takes, parsed once
// into their types by the command line (cli.cpp), and the function that runs
// it and returns the exit status.
#ifndef ROREZUREDI_LOG_COMMANDS_H
#define ROREZUREDI_LOG_COMMANDS_H

#include <optional>
#include <string>
#include <vector>

#include "log_input.h"
#include "log_time.h"
#include "path_map.h"
#include "selection.h"

namespace logtool {

struct info_options {
    bool json = false;
    std::string file;
};

struct check_options {
    bool json = false;
    bool strict = false;
    nanos max_gap = 3600 * ns_per_s;
    std::string file;
};

struct repair_options {
    std::string file, out;
};

struct slice_options {
    selection select;
    bool rebase = false;
    std::string file, out;
};

struct merge_options {
    std::string out;
    std::vector<std::string> files;
};

struct retime_options {
    nanos speed = ns_per_s;  // in billionths: 1 s stands for 1
    std::optional<nanos> max_gap;
    nanos min_gap = 0;  // 0: none
    nanos shift = 0;
    std::optional<nanos> start;  // since the epoch
    bool sort = false;
    std::string file, out;
};

struct rewrite_options {
    path_map map;
    std::string file, out;
};

struct repeat_options {
    long long copies = 0;  // above 0
    nanos gap = ns_per_s;
    path_map map_each;  // "%d" in a NEW stands for the copy's number
    std::string file, out;
};

struct timeline_options {
    std::optional<nanos> bin;  // above 0
    std::string svg, png, file;
};

struct print_options {
    selection select;
    std::string file;
};

enum class export_format { jsonl, csv };

struct export_options {
    export_format format = export_format::jsonl;
    selection select;
    std::string file, out;
};

struct import_options {
    std::optional<nanos> start;  // since the epoch
    std::string file, out;
};

struct state_options {
    std::optional<time_arg> at;
    bool times = false, json = false, keep_going = false;
    std::vector<std::string> files;
};

struct diff_options {
    std::optional<time_arg> from, to;
    bool json = false, keep_going = false;
    std::vector<std::string> files;
};

struct verify_options {
    bool times = false, keep_going = false;
    std::vector<std::string> paths;  // canonical store paths
    std::vector<std::string> files;
};

struct snapshot_options {
    std::vector<std::string> paths;  // canonical store paths
    std::string out;
};

int run_info(const info_options& o);
int run_check(const check_options& o);
int run_repair(const repair_options& o);
int run_slice(const slice_options& o);
int run_merge(const merge_options& o);
int run_retime(const retime_options& o);
int run_timeline(const timeline_options& o);
int run_print(const print_options& o);
int run_export(const export_options& o);
int run_import(const import_options& o);
int run_rewrite(const rewrite_options& o);
int run_repeat(const repeat_options& o);
int run_state(const state_options& o);
int run_diff(const diff_options& o);
int run_verify(const verify_options& o);
int run_snapshot(const snapshot_options& o);

}  // namespace logtool

#endif
