// Reading gzip and zstd streams through a stdio cookie. A stream ends where
// its input ends: one cut off inside a frame yields the text that
// decompressed and notes the cut, so that the reader meets a log cut short.
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <vector>

#include "codec_support.h"
#include "compression.h"

namespace logtool {

namespace {

using namespace codec;

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
    return cookie_stream(std::move(r), "r", {read_cookie, nullptr, nullptr, close_reading});
}

}  // namespace logtool
