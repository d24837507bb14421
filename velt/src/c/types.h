// Facts about the value types that the C interface leaves out.
#ifndef VELT_C_TYPES_H
#define VELT_C_TYPES_H

#include <velt.h>

#include <cstddef>

namespace velt {

// Payload size of the fixed-size byte types (ipv4, ipv6, mac); 0 for others.
constexpr std::size_t fixed_byte_size(data_type_t type) noexcept {
    switch (type) {
        case DATATYPE_IPV4: return 4;
        case DATATYPE_IPV6: return 16;
        case DATATYPE_MAC: return 6;
        default: return 0;
    }
}

}  // namespace velt

#endif
