// Names of the store's change commands, as event logs and veltctl print them.
#ifndef VELT_COMMANDS_H
#define VELT_COMMANDS_H

#include "velt.h"

#include <string_view>

namespace velt {

struct command_name_entry {
    api_cmd_t cmd;
    const char* name;
};

inline constexpr command_name_entry command_names[] = {
    {CMD_ADD_NODE, "CMD_ADD_NODE"},
    {CMD_REMOVE_NODE, "CMD_REMOVE_NODE"},
    {CMD_SET_LEAF, "CMD_SET_LEAF"},
    {CMD_CLEAR_LEAF, "CMD_CLEAR_LEAF"},
};

// "CMD_ADD_NODE" etc.; nullptr for a code that is no command.
constexpr const char* command_name(api_cmd_t cmd) {
    for (const auto& c : command_names)
        if (c.cmd == cmd) return c.name;
    return nullptr;
}

// The command a name stands for; api_cmd_t(0) for an unknown name.
constexpr api_cmd_t command_code(std::string_view name) {
    for (const auto& c : command_names)
        if (name == c.name) return c.cmd;
    return api_cmd_t(0);
}

}  // namespace velt

#endif
