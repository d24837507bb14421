// veltctl batch: requests read from a stream, one a line.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ctl/controller.h"
#include "ctl/format.h"
#include "ctl/usage.h"
#include "ctl/words.h"

namespace velt::ctl {

namespace {

// A batch line may hold a request of the store's largest size, quoted.
constexpr std::size_t max_line = 256u << 20;
constexpr std::size_t read_chunk = 1u << 20;

}  // namespace

void controller::batch(int fd, const std::string& name) {
    const std::string where = name.empty() ? std::string() : escaped(name) + ": ";
    std::string buf;
    std::vector<std::string> words;
    std::size_t start = 0;  // first byte of the current request
    long line_no = 1;       // the line it begins on
    bool eof = false;
    bool fresh = false;  // input arrived since the last attempt to split
    for (;;) {
        const std::string_view rest(buf.data() + start, buf.size() - start);
        split_result r;
        // A request can only end at a line feed or at the end of the input.
        if (eof || fresh) r = split_words(rest, eof, words);
        if (!r.complete) {
            if (eof)
                throw failure(failure::kind::usage,
                              where + "line " + std::to_string(line_no) + ": " + r.error);
            if (rest.size() > max_line) {
                throw failure(failure::kind::usage,
                              where + "line " + std::to_string(line_no) + ": request too long");
            }
            buf.erase(0, start);
            start = 0;
            // Once a request has grown long, read at least as much again as
            // it holds before scanning it anew, so that it is scanned a
            // bounded number of times; short ones are taken as they come.
            const std::size_t held = buf.size();
            const std::size_t want = std::max(read_chunk, held);
            const std::size_t need = held >= read_chunk ? held : 1;
            buf.resize(held + want);
            std::size_t got = 0;
            while (got < need && !eof) {
                const ssize_t n = ::read(fd, buf.data() + held + got, want - got);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    const int err = errno;
                    buf.resize(held);
                    throw failure(failure::kind::store,
                                  (name.empty() ? std::string("standard input") : escaped(name)) +
                                      ": cannot read: " + std::strerror(err));
                }
                got += static_cast<std::size_t>(n);
                eof = n == 0;
            }
            buf.resize(held + got);
            fresh = std::memchr(buf.data() + held, '\n', got) != nullptr;
            continue;
        }
        if (r.used == 0) return;  // the end of the input

        const long first_line = line_no;
        line_no +=
            static_cast<long>(std::count(rest.begin(), rest.begin() + static_cast<long>(r.used), '\n'));
        start += r.used;
        if (words.empty()) continue;
        try {
            check_usage(words, true);
            run(words);
        } catch (const failure& f) {
            throw failure(f.which(), where + "line " + std::to_string(first_line) + ": " + f.what());
        }
    }
}

}  // namespace velt::ctl
