// The four actions as the toolbox shows them. The store's command table
// (velt_commands.h) gives their order and names; each has a letter for the
// timeline's rows, a terminal colour and a chart colour beside it.
#ifndef ROREZUREDI_LOG_ACTIONS_H
#define ROREZUREDI_LOG_ACTIONS_H

#include <cstddef>
#include <iterator>

#include <velt_commands.h>

namespace logtool {

struct action_style {
    api_cmd_t cmd;
    char letter;
    const char* ansi;  // terminal colour
    double red, green, blue;
};

constexpr std::size_t action_count = std::size(velt::command_names);

inline constexpr action_style action_styles[] = {
    {CMD_ADD_NODE, 'A', "\033[32m", 0.20, 0.60, 0.25},
    {CMD_REMOVE_NODE, 'R', "\033[31m", 0.85, 0.30, 0.25},
    {CMD_SET_LEAF, 'S', "\033[34m", 0.20, 0.45, 0.75},
    {CMD_CLEAR_LEAF, 'C', "\033[33m", 0.95, 0.65, 0.15},
};

constexpr bool styles_follow_commands() {
    if (std::size(action_styles) != action_count) return false;
    for (std::size_t i = 0; i < action_count; ++i)
        if (action_styles[i].cmd != velt::command_names[i].cmd) return false;
    return true;
}
static_assert(styles_follow_commands(), "one style per store command, in the store's order");

// The place of `cmd` in the store's table (action_count for any other command).
constexpr std::size_t action_slot(api_cmd_t cmd) {
    for (std::size_t i = 0; i < action_count; ++i)
        if (velt::command_names[i].cmd == cmd) return i;
    return action_count;
}

constexpr const char* action_label(std::size_t slot) {
    return velt::command_names[slot].name;
}

}  // namespace logtool

#endif
