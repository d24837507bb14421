// Failpoints: requests made to fail with a chosen code, for tests.
#ifndef VELTD_FAILPOINTS_H
#define VELTD_FAILPOINTS_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace veltd {

// Fails the next `remaining` calls (-1: until cleared) with `code`.
struct failpoint {
    int32_t code = 0;
    int64_t remaining = 0;

    // When armed: the code, and one call fewer to fail.
    bool fire(int32_t& out) {
        if (remaining == 0) return false;
        out = code;
        if (remaining > 0) --remaining;
        return true;
    }
    bool spent() const { return remaining == 0; }
};

// The failpoints of the request operations, by name (events_get failpoints
// go to each subscriber's channel).
class failpoints {
public:
    // The code to fail `op` with now, if any.
    bool fire(std::string_view op, int32_t& code);
    void set(const std::string& op, failpoint f) { m_points[op] = f; }
    void clear() { m_points.clear(); }

private:
    std::map<std::string, failpoint, std::less<>> m_points;
};

}  // namespace veltd

#endif
