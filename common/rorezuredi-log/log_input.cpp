#include "log_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "codec_support.h"

namespace logtool {

std::string input_log::display() const {
    return name == "-" ? std::string("standard input") : name;
}

namespace {

std::nullopt_t cannot(const char* what, const std::string& name, int err) {
    std::fprintf(stderr, "rorezuredi-log: can't %s '%s': %s\n", what, name.c_str(), std::strerror(err));
    return std::nullopt;
}

// A plain pipe whose head has been read: its text is the head and the rest.
struct prefixed {
    file_ptr raw;
    std::string head;
    std::size_t at = 0;
};

ssize_t read_prefixed(void* cookie, char* out, std::size_t size) {
    auto& p = *static_cast<prefixed*>(cookie);
    if (p.at < p.head.size()) {
        const std::size_t n = std::min(size, p.head.size() - p.at);
        std::copy_n(p.head.data() + p.at, n, out);
        p.at += n;
        return static_cast<ssize_t>(n);
    }
    return static_cast<ssize_t>(std::fread(out, 1, size, p.raw.get()));
}

int close_prefixed(void* cookie) {
    const std::unique_ptr<prefixed> owned(static_cast<prefixed*>(cookie));
    return std::fclose(owned->raw.release());
}

}  // namespace

std::optional<input_log> open_input(const std::string& name) {
    input_log in;
    in.name = name;
    FILE* raw = name == "-" ? stdin : std::fopen(name.c_str(), "r");
    if (raw == nullptr) return cannot("open", name, errno);
    file_ptr owned(raw);
    struct stat st {};
    if (fstat(fileno(raw), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return cannot("read", name, EISDIR);
        in.dev = st.st_dev;
        in.ino = st.st_ino;
        in.regular = S_ISREG(st.st_mode);
        if (in.regular) in.size = st.st_size;
    }
    // The first bytes tell the format; a regular file is put back to its
    // start, so that only a pipe needs them replayed.
    std::string head(magic_size, '\0');
    head.resize(std::fread(head.data(), 1, magic_size, raw));
    if (std::ferror(raw) != 0) return cannot("read", name, errno);
    in.packed = compression_of_head(head);
    if (in.regular && std::fseek(raw, 0, SEEK_SET) == 0) head.clear();
    if (in.packed != compression::none) {
        in.size = -1;
        in.note = std::make_shared<decode_note>();
        in.stream.reset(open_decoding(owned.release(), in.packed, std::move(head), in.note));
    } else if (!head.empty()) {
        auto p = std::make_unique<prefixed>(prefixed{std::move(owned), std::move(head)});
        in.stream.reset(
            codec::cookie_stream(std::move(p), "r", {read_prefixed, nullptr, nullptr, close_prefixed}));
    } else {
        in.stream = std::move(owned);
    }
    if (in.stream == nullptr) return cannot("read", name, errno);
    return in;
}

std::string refusal_line(const std::string& file, const log_read_report_t& r) {
    return file + ":" + std::to_string(r.line) + ":" + std::to_string(r.column) + ": error: " + r.reason +
           " (byte " + std::to_string(r.offset) + ")";
}

int refuse(const input_log& in, const log_read_report_t& r) {
    std::fprintf(
        stderr, "%s; 'rorezuredi-log check' tells more, 'rorezuredi-log repair' keeps the complete batches\n",
        refusal_line(in.display(), r).c_str());
    if (in.note != nullptr && (in.note->cut_off || !in.note->error.empty()))
        std::fprintf(stderr, "rorezuredi-log: the %s stream of '%s' %s after %lld bytes\n",
                     compression_name(in.packed), in.display().c_str(),
                     in.note->cut_off ? "was cut off" : ("is damaged: " + in.note->error).c_str(),
                     in.note->packed_bytes);
    return exit_refused;
}

}  // namespace logtool
