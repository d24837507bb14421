// gzip (zlib) and zstd streams behind stdio cookies. A reading stream ends
// where its input ends: a stream cut off inside a frame yields the text that
// decompressed and notes the cut, so that the reader meets a log cut short.
#include "compression.h"

#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

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

namespace {

constexpr std::size_t chunk = std::size_t{1} << 17;

// One codec step: consumes from `in`, produces into `out`; what it reports.
enum class step { more, frame_end, failed };

// The two decoders over one interface.
class decoder {
public:
    virtual ~decoder() = default;
    virtual step run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) = 0;
    std::string error;
};

class zstd_decoder : public decoder {
public:
    zstd_decoder() : m_ctx(ZSTD_createDCtx()) {}
    ~zstd_decoder() override { ZSTD_freeDCtx(m_ctx); }
    zstd_decoder(const zstd_decoder&) = delete;
    zstd_decoder& operator=(const zstd_decoder&) = delete;
    bool made() const { return m_ctx != nullptr; }
    step run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) override {
        ZSTD_inBuffer i{in, in_left, 0};
        ZSTD_outBuffer o{out, out_left, 0};
        const std::size_t r = ZSTD_decompressStream(m_ctx, &o, &i);
        in += i.pos;
        in_left -= i.pos;
        out += o.pos;
        out_left -= o.pos;
        if (ZSTD_isError(r) != 0) {
            error = ZSTD_getErrorName(r);
            return step::failed;
        }
        return r == 0 ? step::frame_end : step::more;
    }

private:
    ZSTD_DCtx* m_ctx;
};

class gzip_decoder : public decoder {
public:
    gzip_decoder() { m_made = inflateInit2(&m_z, 16 + MAX_WBITS) == Z_OK; }
    ~gzip_decoder() override {
        if (m_made) inflateEnd(&m_z);
    }
    gzip_decoder(const gzip_decoder&) = delete;
    gzip_decoder& operator=(const gzip_decoder&) = delete;
    bool made() const { return m_made; }
    step run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) override {
        m_z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
        m_z.avail_in = static_cast<uInt>(in_left);
        m_z.next_out = reinterpret_cast<Bytef*>(out);
        m_z.avail_out = static_cast<uInt>(out_left);
        const int r = inflate(&m_z, Z_NO_FLUSH);
        const std::size_t used = in_left - m_z.avail_in, made = out_left - m_z.avail_out;
        in += used;
        in_left -= used;
        out += made;
        out_left -= made;
        if (r == Z_STREAM_END) {
            inflateReset(&m_z);  // a further member may follow
            return step::frame_end;
        }
        if (r == Z_OK || r == Z_BUF_ERROR) return step::more;
        error = m_z.msg != nullptr ? m_z.msg : "bad gzip data";
        return step::failed;
    }

private:
    z_stream m_z{};
    bool m_made = false;
};

struct raw_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
using raw_file = std::unique_ptr<FILE, raw_closer>;

struct reading {
    raw_file raw;
    std::unique_ptr<decoder> codec;
    std::shared_ptr<decode_note> note;
    std::vector<char> in;
    std::size_t in_pos = 0, in_end = 0;
    bool in_frame = false;  // bytes of an unfinished frame have been taken
    bool done = false;
};

// Fills `out` with what decompresses; 0 at the end of the input, cut off or not.
ssize_t read_cookie(void* cookie, char* out, std::size_t size) {
    auto& r = *static_cast<reading*>(cookie);
    char* at = out;
    std::size_t left = size;
    while (left == size && !r.done) {
        const char* from = r.in.data() + r.in_pos;
        std::size_t in_left = r.in_end - r.in_pos;
        const std::size_t had = in_left;
        const step s = r.codec->run(from, in_left, at, left);
        r.in_pos = r.in_end - in_left;
        if (s == step::failed) {
            r.note->error = r.codec->error;
            r.done = true;
            break;
        }
        r.in_frame = s != step::frame_end && (r.in_frame || in_left != had);
        if (left != size) break;
        if (in_left != 0) {
            if (in_left == had) r.done = true;  // neither took nor gave anything
            continue;
        }
        r.in_pos = 0;
        r.in_end = std::fread(r.in.data(), 1, r.in.size(), r.raw.get());
        r.note->packed_bytes += static_cast<long long>(r.in_end);
        if (r.in_end == 0) {
            r.note->cut_off = r.in_frame;
            r.done = true;
        }
    }
    return static_cast<ssize_t>(size - left);
}

int close_reading(void* cookie) {
    const std::unique_ptr<reading> owned(static_cast<reading*>(cookie));
    return 0;
}

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
    gzip_encoder() { m_made = deflateInit2(&m_z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
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

template <class Codec>
std::unique_ptr<Codec> make_codec() {
    auto c = std::make_unique<Codec>();
    return c->made() ? std::move(c) : nullptr;
}

}  // namespace

FILE* open_decoding(FILE* raw, compression c, std::string head, std::shared_ptr<decode_note> note) {
    auto r = std::make_unique<reading>();
    r->raw.reset(raw);
    if (c == compression::zstd)
        r->codec = make_codec<zstd_decoder>();
    else
        r->codec = make_codec<gzip_decoder>();
    if (r->codec == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    r->note = std::move(note);
    r->note->packed_bytes = static_cast<long long>(head.size());
    r->in.assign(head.begin(), head.end());
    r->in.resize(std::max(chunk, head.size()));
    r->in_end = head.size();
    FILE* f = fopencookie(r.get(), "r", {read_cookie, nullptr, nullptr, close_reading});
    if (f != nullptr) r.release();
    return f;
}

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
    FILE* f = fopencookie(w.get(), "w", {nullptr, write_cookie, nullptr, close_writing});
    if (f != nullptr) w.release();
    return f;
}

}  // namespace logtool
