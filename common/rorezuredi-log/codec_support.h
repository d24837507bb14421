// What the gzip and zstd streams share: their working size, the raw file
// they own, and making a codec whose library state may fail to be had.
#ifndef ROREZUREDI_LOG_CODEC_SUPPORT_H
#define ROREZUREDI_LOG_CODEC_SUPPORT_H

#include <cstddef>
#include <cstdio>
#include <memory>

namespace logtool::codec {

constexpr std::size_t chunk = std::size_t{1} << 17;

struct raw_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
using raw_file = std::unique_ptr<FILE, raw_closer>;

// A codec, or null when its library state could not be made.
template <class Codec>
std::unique_ptr<Codec> make_codec() {
    auto c = std::make_unique<Codec>();
    return c->made() ? std::move(c) : nullptr;
}

}  // namespace logtool::codec

#endif
