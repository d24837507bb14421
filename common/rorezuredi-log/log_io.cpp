// Reading logs through rorezuredi's reader, writing them into place, and
// times on the command line.
#include "log_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>

namespace logtool {

nanos to_nanos(const timespec& t) {
    return nanos(t.tv_sec) * ns_per_s + t.tv_nsec;
}

bool from_nanos(nanos ns, timespec& out) {
    if (ns < 0) return false;
    const nanos sec = ns / ns_per_s;
    if (sec > nanos(LONG_MAX)) return false;
    out.tv_sec = static_cast<time_t>(sec);
    out.tv_nsec = static_cast<long>(ns % ns_per_s);
    return true;
}

namespace {

std::string digits(unsigned __int128 v) {
    std::string s;
    do {
        s.insert(s.begin(), char('0' + int(v % 10)));
        v /= 10;
    } while (v != 0);
    return s;
}

// Reads an unsigned decimal number of at most 18 digits from text[pos...].
bool read_number(const std::string& text, size_t& pos, size_t width, long long& out) {
    const size_t begin = pos;
    long long v = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - begin < 18) {
        v = v * 10 + (text[pos] - '0');
        ++pos;
    }
    if (pos == begin || (width != 0 && pos - begin != width)) return false;
    out = v;
    return true;
}

// A fraction of a second after the point: up to nine digits count, more are
// cut off.
bool read_fraction(const std::string& text, size_t& pos, long long& ns) {
    const size_t begin = pos;
    ns = 0;
    long long scale = ns_per_s / 10;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        ns += (text[pos] - '0') * scale;
        scale /= 10;
        ++pos;
    }
    return pos != begin;
}

}  // namespace

std::string format_seconds(nanos ns) {
    const bool negative = ns < 0;
    const unsigned __int128 v = static_cast<unsigned __int128>(negative ? -ns : ns);
    std::string frac = digits(v % ns_per_s);
    frac.insert(0, 9 - frac.size(), '0');
    std::string out = negative ? "-" : "";
    out += digits(v / ns_per_s);
    out += '.';
    out += frac;
    return out;
}

std::string format_iso(nanos since_epoch) {
    nanos sec = since_epoch / ns_per_s;
    nanos frac = since_epoch % ns_per_s;
    if (frac < 0) {
        frac += ns_per_s;
        sec -= 1;
    }
    const time_t t = static_cast<time_t>(sec);
    tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) return format_seconds(since_epoch) + " s since the epoch";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &parts);
    std::string out = buf;
    if (frac != 0) {
        std::string f = digits(static_cast<unsigned __int128>(frac));
        f.insert(0, 9 - f.size(), '0');
        while (f.back() == '0') f.pop_back();
        out += "." + f;
    }
    return out + "Z";
}

bool parse_seconds(const std::string& text, nanos& out) {
    size_t pos = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative || (!text.empty() && text[0] == '+')) ++pos;
    long long sec = 0;
    long long frac = 0;
    const bool whole = read_number(text, pos, 0, sec);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        if (!read_fraction(text, pos, frac) && !whole) return false;
    } else if (!whole) {
        return false;
    }
    if (pos != text.size()) return false;
    out = nanos(sec) * ns_per_s + frac;
    if (negative) out = -out;
    return true;
}

bool parse_time_arg(const std::string& text, time_arg& out, std::string& error) {
    nanos ns = 0;
    if (parse_seconds(text, ns)) {
        out = time_arg{true, false, ns};
        return true;
    }
    // YYYY-MM-DDTHH:MM:SS[.fraction]Z
    size_t pos = 0;
    long long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, frac = 0;
    const auto expect = [&](char c) {
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    };
    bool ok = read_number(text, pos, 4, year) && expect('-') && read_number(text, pos, 2, month) &&
              expect('-') && read_number(text, pos, 2, day) && (expect('T') || expect('t')) &&
              read_number(text, pos, 2, hour) && expect(':') && read_number(text, pos, 2, minute) &&
              expect(':') && read_number(text, pos, 2, second);
    if (ok && expect('.')) ok = read_fraction(text, pos, frac);
    ok = ok && (expect('Z') || expect('z')) && pos == text.size();
    ok = ok && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
         second <= 60;
    if (!ok) {
        error = "'" + text + "' is neither seconds (12.5) nor an ISO 8601 UTC time (2026-12-06T19:04:13.5Z)";
        return false;
    }
    tm parts{};
    parts.tm_year = int(year - 1900);
    parts.tm_mon = int(month - 1);
    parts.tm_mday = int(day);
    parts.tm_hour = int(hour);
    parts.tm_min = int(minute);
    parts.tm_sec = int(second);
    const time_t t = timegm(&parts);
    out = time_arg{true, true, nanos(t) * ns_per_s + frac};
    return true;
}

bool parse_range(const std::string& text, long long& a, long long& b) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string left = text.substr(0, colon), right = text.substr(colon + 1);
    try {
        size_t used = 0;
        a = left.empty() ? 0 : std::stoll(left, &used);
        if (!left.empty() && (used != left.size() || a < 0)) return false;
        b = right.empty() ? -1 : std::stoll(right, &used);
        if (!right.empty() && (used != right.size() || b < 0)) return false;
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::string input_log::display() const {
    return name == "-" ? std::string("standard input") : name;
}

bool open_input(const std::string& name, input_log& in) {
    in.name = name;
    in.stream = name == "-" ? stdin : std::fopen(name.c_str(), "r");
    if (in.stream == nullptr) {
        std::fprintf(stderr, "rorezuredi-log: can't open '%s': %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (fstat(fileno(in.stream), &st) == 0) {
        in.dev = st.st_dev;
        in.ino = st.st_ino;
        in.regular = S_ISREG(st.st_mode);
        if (in.regular) in.size = st.st_size;
        if (S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "rorezuredi-log: can't read '%s': %s\n", name.c_str(),
                         std::strerror(EISDIR));
            std::fclose(in.stream);
            in.stream = nullptr;
            return false;
        }
    }
    return true;
}

read_result read_log(input_log& in, const std::function<void(event_batch_t&)>& on_batch) {
    // A fresh reader state, swapped in for this read, so that reads do not
    // see each other's leftovers.
    log_reader_state_t state;
    state.on_batch = on_batch;
    swap_log_reader(state);
    read_result result;
    if (begin_log_read() == 0) {
        int r = 1;
        while (r > 0) r = read_log_piece(in.stream);
        result.ok = r == 0;
        end_log_read(in.stream);
    } else {
        std::fclose(in.stream);
        log_read_report.failed = true;
        log_read_report.reason = "can't create an XML parser";
    }
    in.stream = nullptr;
    result.report = log_read_report;
    result.start = program_state.start_time;
    swap_log_reader(state);
    return result;
}

log_cursor::log_cursor(input_log& in) : m_in(in) {
    m_state.on_batch = [this](event_batch_t& batch) {
        if (batch.events.empty()) return;
        if (!m_batch_seen) {
            // The callback runs with this log's state swapped in.
            m_batch_seen = true;
            m_start_first = log_read_report.start_seen;
        }
        m_ready.push_back(std::move(batch));
    };
    swap_log_reader(m_state);
    const bool made = begin_log_read() == 0;
    swap_log_reader(m_state);
    if (!made) {
        m_failed = true;
        m_done = true;
        m_state.report.failed = true;
        m_state.report.reason = "can't create an XML parser";
    }
}

log_cursor::~log_cursor() {
    swap_log_reader(m_state);
    if (program_state.parser != nullptr) {
        end_log_read(m_in.stream);
    } else if (m_in.stream != nullptr) {
        std::fclose(m_in.stream);
    }
    m_in.stream = nullptr;
    swap_log_reader(m_state);
}

bool log_cursor::read_piece() {
    swap_log_reader(m_state);
    const int r = read_log_piece(m_in.stream);
    swap_log_reader(m_state);
    if (r <= 0) m_done = true;
    if (r < 0) m_failed = true;
    return r > 0;
}

void log_cursor::prime() {
    while (!m_done && m_ready.size() == m_next && !m_state.report.start_seen) read_piece();
}

bool log_cursor::next(event_batch_t& batch) {
    while (m_next == m_ready.size()) {
        m_ready.clear();
        m_next = 0;
        if (m_done) return false;
        read_piece();
    }
    batch = std::move(m_ready[m_next++]);
    return true;
}

std::string refusal_line(const std::string& file, const log_read_report_t& r) {
    return file + ":" + std::to_string(r.line) + ":" + std::to_string(r.column) + ": error: " + r.reason +
           " (byte " + std::to_string(r.offset) + ")";
}

int refuse(const input_log& in, const log_read_report_t& r) {
    std::fprintf(
        stderr, "%s; 'rorezuredi-log check' tells more, 'rorezuredi-log repair' keeps the complete batches\n",
        refusal_line(in.display(), r).c_str());
    return exit_refused;
}

output_log::~output_log() {
    discard();
}

bool output_log::open(const std::string& name, const std::vector<const input_log*>& inputs) {
    m_name = name;
    if (name == "-") {
        m_stream = stdout;
        return true;
    }
    struct stat st {};
    if (stat(name.c_str(), &st) == 0) {
        for (const input_log* in : inputs) {
            if (in->name != "-" && in->dev == st.st_dev && in->ino == st.st_ino) {
                std::fprintf(stderr, "rorezuredi-log: '%s' is an input; write the output to another file\n",
                             name.c_str());
                return false;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "rorezuredi-log: can't write '%s': %s\n", name.c_str(),
                         std::strerror(EISDIR));
            return false;
        }
    }
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        std::fprintf(stderr, "rorezuredi-log: can't write '%s': %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    m_stream = fdopen(fd, "w");
    if (m_stream == nullptr) {
        std::fprintf(stderr, "rorezuredi-log: can't write '%s': %s\n", name.c_str(), std::strerror(errno));
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    m_temp = temp;
    m_buffer.resize(size_t{1} << 18);
    setvbuf(m_stream, m_buffer.data(), _IOFBF, m_buffer.size());
    return true;
}

bool output_log::commit() {
    if (m_stream == nullptr) return false;
    bool ok = std::fflush(m_stream) == 0 && std::ferror(m_stream) == 0;
    int err = errno;
    if (m_stream == stdout) {
        m_stream = nullptr;
        if (!ok)
            std::fprintf(stderr, "rorezuredi-log: can't write to standard output: %s\n", std::strerror(err));
        return ok;
    }
    // A new file gets the permissions a created file gets (0666 less the umask).
    const mode_t mask = umask(0);
    umask(mask);
    if (ok && fchmod(fileno(m_stream), 0666 & ~mask) != 0) {
        ok = false;
        err = errno;
    }
    if (std::fclose(m_stream) != 0 && ok) {
        ok = false;
        err = errno;
    }
    m_stream = nullptr;
    if (ok && std::rename(m_temp.c_str(), m_name.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        std::fprintf(stderr, "rorezuredi-log: can't write '%s': %s\n", m_name.c_str(), std::strerror(err));
        unlink(m_temp.c_str());
    }
    m_temp.clear();
    return ok;
}

void output_log::discard() {
    if (m_stream != nullptr && m_stream != stdout) std::fclose(m_stream);
    m_stream = nullptr;
    if (!m_temp.empty()) unlink(m_temp.c_str());
    m_temp.clear();
}

void install_filter(const path_filter_args& args) {
    ProgramState& ps = program_state;
    for (const std::string& p : args.include_paths) {
        ps.include_paths.push_back(p);
        toolkit::CElement::canonicalize_path(ps.include_paths.back());
    }
    for (const std::string& p : args.exclude_paths) {
        ps.exclude_paths.push_back(p);
        toolkit::CElement::canonicalize_path(ps.exclude_paths.back());
    }
    ps.include_attrs.insert(args.include_attrs.begin(), args.include_attrs.end());
    ps.exclude_attrs.insert(args.exclude_attrs.begin(), args.exclude_attrs.end());
}

bool filter_batch(event_batch_t& batch) {
    std::vector<event_instance_t>& events = batch.events;
    size_t kept = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (!ok_to_use(events[i].path, batch.cmd)) continue;
        if (kept != i) events[kept] = std::move(events[i]);
        ++kept;
    }
    events.erase(events.begin() + static_cast<std::ptrdiff_t>(kept), events.end());
    return !events.empty();
}

}  // namespace logtool
