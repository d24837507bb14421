// The checks a request's paths and values pass before the tree sees them.
#ifndef VELTD_CHECKS_H
#define VELTD_CHECKS_H

#include <velt++.h>

#include <string>
#include <string_view>

namespace veltd {

// Canonicalises `in` into `out` and checks it; false when it is no valid path
// or is deeper than max_depth (daemon/tree.h).
bool canonical_path(std::string_view in, std::string& out);

// Checks a value for set_leaves and gives it its stored timestamp: the
// value's own, or `now` when its seconds are -1 or `forced` is set;
// microseconds are carried into the seconds. Returns 0 or VLT_EINVAL.
int stamp_value(toolkit::CElement& value, bool forced, const timeval& now);

}  // namespace veltd

#endif
