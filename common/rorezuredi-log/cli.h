// rorezuredi-log's command line. Each add_* function adds its subcommand with
// its options to the program's command line and returns what runs it once the
// command line has been parsed. Only cli.cpp sees CLI11 itself: the add_*
// functions declare their options through `subcommand`.
#ifndef ROREZUREDI_LOG_CLI_H
#define ROREZUREDI_LOG_CLI_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace logtool {

struct selection;

struct command {
    CLI::App* app = nullptr;
    std::function<int()> run;  // the exit status
};

// What an option does with each value given: parses and stores it, and
// gives the message of a text it refuses (empty: accepted).
using value_taker = std::function<std::string(const std::string&)>;

// Parses each value once into `target` with `parse` (bool(text, T&, error)).
template <class T, class Parse>
value_taker into(T& target, Parse parse) {
    return [&target, parse](const std::string& text) {
        std::string error;
        return parse(text, target, error) ? std::string() : error;
    };
}

// Hands each value to `add` as it is written (a path rule, an attribute name).
template <class Add>
value_taker each(Add add) {
    return [add = std::move(add)](const std::string& text) {
        add(text);
        return std::string();
    };
}

// One subcommand of the command line, with the few ways of declaring its
// options that the subcommands use.
class subcommand {
public:
    using handle = CLI::Option*;

    subcommand(CLI::App& app, const std::string& name, const std::string& description);

    [[nodiscard]] CLI::App* app() const { return app_; }

    // An option whose values `take` parses and stores, shown with `type`; it
    // may be given several times when `repeats`.
    handle option(const std::string& name, const std::string& help, value_taker take, const char* type,
                  bool repeats = false);
    // An option kept as the text given.
    handle text(const std::string& name, std::string& target, const std::string& help);
    void flag(const std::string& name, bool& target, const std::string& help);
    // A positional argument; at least `min` of them for `positionals`.
    void positional(const std::string& name, std::string& target, const std::string& help,
                    bool required = true);
    void positionals(const std::string& name, std::vector<std::string>& target, const std::string& help,
                     int min = 1);

    static void excludes(handle a, handle b);
    static void default_str(handle h, const std::string& text);
    static void required(handle h);

private:
    CLI::App* app_;
};

// The options of a selection (--from, --to, --batches, -p, -x, -a, -i,
// --action) on subcommand `sub`, each parsed into `s` as it is read.
void add_selection(subcommand& sub, selection& s);

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
