#include "daemon/checks.h"

#include <limits>

#include "c/validate.h"
#include "daemon/tree.h"

namespace veltd {

using toolkit::CElement;

bool canonical_path(std::string_view in, std::string& out) {
    out.assign(in);
    out.push_back('\0');  // the one spare byte canonicalisation may need
    out.resize(vlt_canonicalize_path(out.data(), in.size()));
    if (!velt::valid_canonical_path(out)) return false;
    size_t depth = 0;
    for (char c : out) depth += c == '/';
    return depth <= max_depth;
}

int stamp_value(CElement& value, bool forced, const timeval& at) {
    data_type_t t = value.type();
    if (t == DATATYPE_INVALID || t == DATATYPE_NONE || t > DATATYPE_NONE) return VLT_EINVAL;
    if (t == DATATYPE_STRING && !velt::valid_utf8_text(value.get_bytes(), true)) return VLT_EINVAL;
    timeval& tv = value.timestamp();
    if (tv.tv_sec < -1) return VLT_EINVAL;
    if (forced || tv.tv_sec == -1) {
        tv = at;
        return 0;
    }
    // Carry microseconds outside 0..999999 into the seconds.
    int64_t carry = tv.tv_usec / 1000000;
    int64_t usec = tv.tv_usec % 1000000;
    if (usec < 0) {
        usec += 1000000;
        carry -= 1;
    }
    int64_t sec = tv.tv_sec;
    if (carry > 0 && sec > std::numeric_limits<int64_t>::max() - carry) return VLT_EINVAL;
    sec += carry;
    if (sec < 0) return VLT_EINVAL;
    tv.tv_sec = time_t(sec);
    tv.tv_usec = suseconds_t(usec);
    return 0;
}

}  // namespace veltd
