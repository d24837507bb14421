// toolkit::CElement's helpers for writers of logs: path canonicalisation,
// XML escaping and the check of string values.
#include <array>
#include <velt++.h>

#include "c/validate.h"

namespace toolkit {

void CElement::canonicalize_path(tk_string& path) {
    const std::size_t len = path.size();
    path.resize(len + 1);
    path.resize(vlt_canonicalize_path(path.data(), len));
}

void CElement::xml_escape(tk_string& text) {
    // Bytes that need a reference; a table, since capture escapes every path
    // and value it writes and most of them need nothing.
    static constexpr auto needs_escape = [] {
        std::array<bool, 256> t{};
        for (const unsigned char c : std::string_view("&<>\"'\t\n\r")) t[c] = true;
        return t;
    }();
    std::size_t extra = 0;
    for (const char c : text) {
        if (!needs_escape[static_cast<unsigned char>(c)]) continue;
        switch (c) {
            case '&': extra += 4; break;   // &amp;
            case '<':                      // &lt;
            case '>':                      // &gt;
            case '\t': extra += 3; break;  // &#9;
            case '"':                      // &quot;
            case '\'': extra += 5; break;  // &apos;
            default: extra += 4; break;    // &#10; &#13;
        }
    }
    if (extra == 0) return;
    tk_string out;
    out.reserve(text.size() + extra);
    for (const char c : text) {
        switch (c) {
            case '&': out.append("&amp;"); break;
            case '<': out.append("&lt;"); break;
            case '>': out.append("&gt;"); break;
            case '"': out.append("&quot;"); break;
            case '\'': out.append("&apos;"); break;
            case '\t': out.append("&#9;"); break;
            case '\n': out.append("&#10;"); break;
            case '\r': out.append("&#13;"); break;
            default: out.push_back(c); break;
        }
    }
    text.swap(out);
}

bool CElement::valid_string(std::string_view text) noexcept {
    return velt::valid_utf8_text(text, true);
}

}  // namespace toolkit
