// retime's clock: the output time of each batch, computed from the input
// times exactly (no sum of rounded gaps): out = ref_out + round((t - ref_in)
// / speed), the reference moved to each batch whose gap was capped. Times
// written strictly increase (a time that would not moves up by 1 ns).
#ifndef ROREZUREDI_LOG_RETIMER_H
#define ROREZUREDI_LOG_RETIMER_H

#include <optional>

#include "log_time.h"

namespace logtool {

class retimer {
public:
    // speed in billionths (ns_per_s: unchanged); a cap on gaps after the speed; a shift of every time.
    retimer(nanos speed, std::optional<nanos> max_gap, nanos shift)
        : m_speed(speed), m_max_gap(max_gap), m_shift(shift) {}

    nanos next(nanos t) {
        nanos out = t + m_shift;
        if (m_started) {
            out = m_ref_out + scaled(t - m_ref_in);
            if (m_max_gap && out - m_last > *m_max_gap) {
                out = m_last + *m_max_gap;
                m_ref_in = t;
                m_ref_out = out;
            }
            out = std::max(out, m_last + 1);
        } else {
            m_started = true;
            m_ref_in = t;
            m_ref_out = out;
        }
        m_last = out;
        return out;
    }

    // d / speed, rounded to the nearest nanosecond (halves away from zero).
    nanos scaled(nanos d) const {
        if (m_speed == ns_per_s) return d;
        const nanos num = d * ns_per_s;
        return (num >= 0 ? num + m_speed / 2 : num - m_speed / 2) / m_speed;
    }

private:
    nanos m_speed;
    std::optional<nanos> m_max_gap;
    nanos m_shift;
    bool m_started = false;
    nanos m_ref_in = 0, m_ref_out = 0, m_last = 0;
};

}  // namespace logtool

#endif
