// Checks of paths and texts shared by the client libraries and the daemon.
#include "c/validate.h"

#include <cstdint>

namespace velt {

bool valid_utf8_text(std::string_view text, bool allow_tab_lf_cr) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) {
                if (!allow_tab_lf_cr || (c != '\t' && c != '\n' && c != '\r')) return false;
            }
            ++p;
            continue;
        }
        // Multi-byte sequence: the lead byte fixes the length and the lowest
        // code point allowed (to refuse overlong forms).
        std::size_t len = 0;
        std::uint32_t cp = 0;
        std::uint32_t min = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            len = 2;
            cp = c & 0x1f;
            min = 0x80;
        } else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            cp = c & 0x0f;
            min = 0x800;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            return false;  // continuation byte, 0xc0/0xc1 or 0xf5..0xff
        }
        if (static_cast<std::size_t>(end - p) < len) return false;
        for (std::size_t i = 1; i < len; ++i) {
            const unsigned char k = p[i];
            if ((k & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (k & 0x3f);
        }
        if (cp < min || cp > 0x10ffff) return false;
        if (cp >= 0xd800 && cp <= 0xdfff) return false;  // surrogates
        if (cp == 0xfffe || cp == 0xffff) return false;  // not allowed in XML 1.0
        p += len;
    }
    return true;
}

bool valid_canonical_path(std::string_view path) noexcept {
    if (path.empty() || path.front() != '/') return false;
    if (path.size() == 1) return true;
    if (path.back() == '/') return false;
    if (path.find("//") != std::string_view::npos) return false;
    // UTF-8 continuation bytes never equal '/', so checking the whole path
    // checks each component.
    return valid_utf8_text(path, false);
}

}  // namespace velt
