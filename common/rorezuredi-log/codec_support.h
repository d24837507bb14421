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

// A stdio stream over `cookie`, which the stream owns from then on (its close
// function frees it); null, the cookie freed, when none can be made.
template <class Cookie>
FILE* cookie_stream(std::unique_ptr<Cookie> cookie, const char* mode, cookie_io_functions_t io) {
    FILE* f = fopencookie(cookie.get(), mode, io);
    if (f != nullptr) static_cast<void>(cookie.release());
    return f;
}

}  // namespace logtool::codec

#endif
