// Telling compressed logs apart: by their magic bytes when read, by the
// name's ending when written.
#include "compression.h"

#include <cstring>

namespace logtool {

compression compression_of_head(const std::string& head) {
    if (head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0x1f &&
        static_cast<unsigned char>(head[1]) == 0x8b)
        return compression::gzip;
    if (head.size() >= 4 && head.compare(0, 4, "\x28\xb5\x2f\xfd") == 0) return compression::zstd;
    return compression::none;
}

compression compression_of_name(const std::string& name) {
    const auto ends_with = [&](const char* suffix) {
        const std::size_t n = std::strlen(suffix);
        return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
    };
    if (ends_with(".gz")) return compression::gzip;
    if (ends_with(".zst")) return compression::zstd;
    return compression::none;
}

const char* compression_name(compression c) {
    switch (c) {
        case compression::gzip: return "gzip";
        case compression::zstd: return "zstd";
        default: return "plain";
    }
}

}  // namespace logtool
