// Checks of paths and texts shared by the client libraries and the daemon.
#ifndef VELT_C_VALIDATE_H
#define VELT_C_VALIDATE_H

#include <string_view>

namespace velt {

// True when `text` is valid UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF) without U+FFFE, U+FFFF and control characters (0x00-0x1F,
// 0x7F); tab, line feed and carriage return are allowed when allow_tab_lf_cr.
bool valid_utf8_text(std::string_view text, bool allow_tab_lf_cr) noexcept;

// True when `path` is in canonical form ("/" or "/c1/c2/...", no empty
// component, no trailing '/') and every component is valid text without
// tab, line feed or carriage return.
bool valid_canonical_path(std::string_view path) noexcept;

}  // namespace velt

#endif
