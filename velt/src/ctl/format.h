// Text forms veltctl prints (dump and watch lines); rorezuredi-log prints
// the same dump lines.
#ifndef VELT_CTL_FORMAT_H
#define VELT_CTL_FORMAT_H

#include <sys/time.h>

#include <string>
#include <string_view>
#include <velt++.h>

namespace velt::ctl {

// Appends `text` with backslash written "\\", tab "\t", line feed "\n",
// carriage return "\r" and every other byte below 0x20 and 0x7f as "\xHH".
void append_escaped(std::string& out, std::string_view text);
// The same as a new string: keeps a message on one line whatever it names.
std::string escaped(std::string_view text);

// Appends " @SEC.USEC" (six digits of microseconds).
void append_time(std::string& out, const timeval& time);

// Appends "TYPE TEXT": the type name and the escaped text form of `value`.
void append_typed_value(std::string& out, const toolkit::CElement& value);

// Appends one dump line without its line end: "node PATH", or "leaf PATH
// TYPE TEXT" with " @SEC.USEC" when `times` (value is used for leaves only).
void append_dump_line(std::string& out, bool leaf, std::string_view path, const toolkit::CElement& value,
                      bool times);

// Name of a store command, "CMD_ADD_NODE" etc.; "CMD_<number>" for others.
std::string cmd_name(api_cmd_t cmd);

// Describes a request's result code, e.g. "conflict (code 2)".
std::string describe_code(int code);

}  // namespace velt::ctl

#endif
