// rorezuredi-log's command line over CLI11, compiled here only: the ways of
// declaring an option that the subcommands use (cli_*.cpp), each value parsed
// once into its type by a validator so that a bad argument is a usage error
// naming its option; the program, and the one-subcommand runner of the tests.
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "option_values.h"

namespace logtool {

namespace {

// CLI11 runs a validator on each value given, before the subcommand runs: the
// taker parses and stores it there, and its message makes a usage error.
CLI::Validator validator(value_taker take) {
    return {[take = std::move(take)](std::string& text) { return take(text); }, ""};
}

}  // namespace

subcommand::subcommand(CLI::App& app, const std::string& name, const std::string& description)
    : app_(app.add_subcommand(name, description)) {}

subcommand::handle subcommand::option(const std::string& name, const std::string& help, value_taker take,
                                      const char* type, bool repeats) {
    CLI::Option* o = app_->add_option(name)->description(help)->type_name(type)->expected(1)->check(
        validator(std::move(take)));
    if (repeats) o->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    return o;
}

subcommand::handle subcommand::text(const std::string& name, std::string& target, const std::string& help) {
    return app_->add_option(name, target, help);
}

void subcommand::flag(const std::string& name, bool& target, const std::string& help) {
    app_->add_flag(name, target, help);
}

void subcommand::positional(const std::string& name, std::string& target, const std::string& help,
                            bool required) {
    app_->add_option(name, target, help)->required(required);
}

void subcommand::positionals(const std::string& name, std::vector<std::string>& target,
                             const std::string& help, int min) {
    app_->add_option(name, target, help)->required()->expected(min, CLI::detail::expected_max_vector_size);
}

void subcommand::excludes(handle a, handle b) {
    a->excludes(b);
}

void subcommand::default_str(handle h, const std::string& text) {
    h->default_str(text);
}

void subcommand::required(handle h) {
    h->required();
}

int run_program(int argc, char** argv, const char* version) {
    CLI::App app{
        "Looks into, checks, repairs, slices, merges, retimes, rewrites, repeats, charts, prints,\n"
        "exports and imports rorezuredi event logs, and tells the store's state they leave (state,\n"
        "diff, verify, snapshot). FILE may be - for standard input and OUT - for standard output; a\n"
        "log read may be compressed with gzip or zstd, and an OUT ending in .gz or .zst is written so.\n"
        "Exit status: 0 success, 1 the log was refused (or check --strict drew warnings),\n"
        "2 a usage error or a file that can't be opened or written.",
        "rorezuredi-log"};
    app.set_version_flag("--version", version);
    app.require_subcommand(1, 1);
    app.fallthrough(false);

    const std::vector<command> commands = {
        add_info(app),   add_check(app),  add_repair(app),   add_slice(app),
        add_merge(app),  add_retime(app), add_timeline(app), add_rewrite(app),
        add_repeat(app), add_print(app),  add_export(app),   add_import(app),
        add_state(app),  add_diff(app),   add_verify(app),   add_snapshot(app),
    };

    std::vector<std::string> names;
    names.reserve(commands.size());
    for (const command& c : commands) names.push_back(c.app->get_name());
    if (argc > 1 && argv[1][0] != '-' && !is_subcommand(argv[1], names)) return exit_usage;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::fprintf(stderr, "rorezuredi-log: %s (see rorezuredi-log --help)\n", e.what());
        return exit_usage;
    }
    for (const command& c : commands)
        if (c.app->parsed()) return c.run();
    return exit_usage;
}

int run_subcommand(command (*add)(CLI::App&), std::vector<std::string> args) {
    CLI::App app;
    const command c = add(app);
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    app.parse(args);
    return c.run();
}

}  // namespace logtool
