// Writing gzip and zstd streams through a stdio cookie: what is written is
// compressed, and closing the stream ends it and closes the file below.
#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <vector>

#include "codec_support.h"
#include "compression.h"

namespace logtool {

namespace {

using namespace codec;

// The two encoders: compress what is written, end the stream at close.
class encoder {
public:
    virtual ~encoder() = default;
    // Compresses `in` (all of it), or with `end` finishes the stream; false on failure.
    virtual bool run(const char* in, std::size_t size, bool end, std::vector<char>& out) = 0;
};

class zstd_encoder : public encoder {
public:
    zstd_encoder() : m_ctx(ZSTD_createCCtx()) {
        if (m_ctx != nullptr) ZSTD_CCtx_setParameter(m_ctx, ZSTD_c_compressionLevel, 3);
    }
    ~zstd_encoder() override { ZSTD_freeCCtx(m_ctx); }
    zstd_encoder(const zstd_encoder&) = delete;
    zstd_encoder& operator=(const zstd_encoder&) = delete;
    bool made() const { return m_ctx != nullptr; }
    bool run(const char* in, std::size_t size, bool end, std::vector<char>& out) override {
        ZSTD_inBuffer i{in, size, 0};
        for (;;) {
            const std::size_t at = out.size();
            out.resize(at + chunk);
            ZSTD_outBuffer o{out.data() + at, chunk, 0};
            const std::size_t r = ZSTD_compressStream2(m_ctx, &o, &i, end ? ZSTD_e_end : ZSTD_e_continue);
            out.resize(at + o.pos);
            if (ZSTD_isError(r) != 0) return false;
            if (end ? r == 0 : i.pos == i.size) return true;
        }
    }

private:
    ZSTD_CCtx* m_ctx;
};

class gzip_encoder : public encoder {
public:
    gzip_encoder() {
        m_made = deflateInit2(&m_z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~gzip_encoder() override {
        if (m_made) deflateEnd(&m_z);
    }
    gzip_encoder(const gzip_encoder&) = delete;
    gzip_encoder& operator=(const gzip_encoder&) = delete;
    bool made() const { return m_made; }
    bool run(const char* in, std::size_t size, bool end, std::vector<char>& out) override {
        m_z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
        m_z.avail_in = static_cast<uInt>(size);
        for (;;) {
            const std::size_t at = out.size();
            out.resize(at + chunk);
            m_z.next_out = reinterpret_cast<Bytef*>(out.data() + at);
            m_z.avail_out = static_cast<uInt>(chunk);
            const int r = deflate(&m_z, end ? Z_FINISH : Z_NO_FLUSH);
            out.resize(at + chunk - m_z.avail_out);
            if (r == Z_STREAM_ERROR) return false;
            if (end ? r == Z_STREAM_END : m_z.avail_in == 0) return true;
        }
    }

private:
    z_stream m_z{};
    bool m_made = false;
};

struct writing {
    raw_file raw;
    std::unique_ptr<encoder> codec;
    std::vector<char> out;
    bool failed = false;

    bool drain() {
        if (!out.empty() && std::fwrite(out.data(), 1, out.size(), raw.get()) != out.size()) failed = true;
        out.clear();
        return !failed;
    }
};

ssize_t write_cookie(void* cookie, const char* data, std::size_t size) {
    auto& w = *static_cast<writing*>(cookie);
    if (w.failed || !w.codec->run(data, size, false, w.out) || !w.drain()) {
        w.failed = true;
        errno = errno != 0 ? errno : EIO;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

int close_writing(void* cookie) {
    std::unique_ptr<writing> w(static_cast<writing*>(cookie));
    bool ok = !w->failed && w->codec->run(nullptr, 0, true, w->out) && w->drain();
    ok = std::fflush(w->raw.get()) == 0 && ok;
    const int err = errno;
    ok = std::fclose(w->raw.release()) == 0 && ok;
    if (!ok) errno = err != 0 ? err : EIO;
    return ok ? 0 : -1;
}

}  // namespace

FILE* open_encoding(FILE* raw, compression c) {
    auto w = std::make_unique<writing>();
    w->raw.reset(raw);
    if (c == compression::zstd)
        w->codec = make_codec<zstd_encoder>();
    else
        w->codec = make_codec<gzip_encoder>();
    if (w->codec == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    return cookie_stream(std::move(w), "w", {nullptr, write_cookie, nullptr, close_writing});
}

}  // namespace logtool
