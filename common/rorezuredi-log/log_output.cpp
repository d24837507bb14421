#include "log_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace logtool {

bool output_file::open(const std::string& name, const std::vector<const input_log*>& inputs) {
    return open_as(name, false, inputs);
}

bool output_file::open_plain(const std::string& name) {
    return open_as(name, true, {});
}

bool output_file::open_as(const std::string& name, bool plain, const std::vector<const input_log*>& inputs) {
    discard();
    m_name = name;
    const compression packed = plain ? compression::none : compression_of_name(name);
    FILE* raw = nullptr;
    if (name == "-") {
        raw = stdout;
    } else {
        struct stat st {};
        if (stat(name.c_str(), &st) == 0) {
            for (const input_log* in : inputs) {
                if (in->name != "-" && in->dev == st.st_dev && in->ino == st.st_ino) {
                    std::fprintf(stderr,
                                 "rorezuredi-log: '%s' is an input; write the output to another file\n",
                                 name.c_str());
                    return false;
                }
            }
            if (S_ISDIR(st.st_mode)) return fail(EISDIR);
        }
        const std::size_t slash = name.rfind('/');
        const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
        std::string temp = name.substr(0, base) + "." + name.substr(base) + ".XXXXXX";
        const int fd = mkstemp(temp.data());
        if (fd < 0) return fail(errno);
        m_temp = temp;
        // A new file gets the permissions a created file gets (0666 less the umask).
        const mode_t mask = umask(0);
        umask(mask);
        raw = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "w") : nullptr;
        if (raw == nullptr) {
            const int err = errno;
            close(fd);
            return fail(err);
        }
    }
    m_stream = packed == compression::none ? raw : open_encoding(raw, packed);
    if (m_stream == nullptr) return fail(errno);
    // A stream of our own gets a large buffer; standard output outlives it.
    if (m_stream != stdout) {
        m_buffer.resize(std::size_t{1} << 18);
        setvbuf(m_stream, m_buffer.data(), _IOFBF, m_buffer.size());
    }
    return true;
}

// The message for `err` and the temporary file thrown away; false.
bool output_file::fail(int err) {
    const std::string what = m_name == "-" ? "to standard output" : "'" + m_name + "'";
    std::fprintf(stderr, "rorezuredi-log: can't write %s: %s\n", what.c_str(), std::strerror(err));
    discard();
    return false;
}

bool output_file::commit() {
    if (m_stream == nullptr) return false;
    FILE* f = m_stream;
    m_stream = nullptr;
    int err = 0;
    const auto step = [&err](bool done) {
        if (!done && err == 0) err = errno != 0 ? errno : EIO;
    };
    errno = 0;
    step(std::fflush(f) == 0 && std::ferror(f) == 0);
    // Plain standard output stays open; any other stream is closed here,
    // which for a compressed one writes the end of its stream.
    if (f != stdout) step(std::fclose(f) == 0);
    if (err == 0 && !m_temp.empty()) step(std::rename(m_temp.c_str(), m_name.c_str()) == 0);
    if (err != 0) return fail(err);
    m_temp.clear();
    return true;
}

void output_file::discard() {
    if (m_stream != nullptr && m_stream != stdout) std::fclose(m_stream);
    m_stream = nullptr;
    if (!m_temp.empty()) unlink(m_temp.c_str());
    m_temp.clear();
}

}  // namespace logtool
