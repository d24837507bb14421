// import: JSON Lines, as export writes them or as a person or a script does,
// to a log. Consecutive lines of one batch index form one batch; without an
// index, consecutive lines of one time and action do. Every refusal names
// the line and the field, and leaves no file behind.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "commands.h"
#include "ctl/format.h"
#include "event_rows.h"
#include "json_row.h"
#include "log_writer.h"
#include "option_values.h"

namespace logtool {

namespace {

// A refusal of one line: the field it names and why.
struct line_error {
    std::string field, reason;
};

std::string shown(std::string_view text) {
    std::string out = "'";
    velt::ctl::append_escaped(out, text);
    return out + "'";
}

// The text of a field that must be a string (or, for times, a number);
// nullopt when it is absent or null.
std::optional<std::string> text_field(const json_row& row, row_field f, bool number_too = false) {
    const json_field& v = row[f];
    if (v.kind == json_field::absent || v.kind == json_field::null) return std::nullopt;
    if (v.kind == json_field::string || (number_too && v.kind == json_field::number)) return v.text;
    throw line_error{std::string(row_field_names[f]),
                     number_too ? "is neither a string nor a number" : "is not a string"};
}

std::string required_text(const json_row& row, row_field f, bool number_too = false) {
    std::optional<std::string> text = text_field(row, f, number_too);
    if (!text) throw line_error{std::string(row_field_names[f]), "is missing"};
    return *std::move(text);
}

// A batch time: seconds >= 0 with at most nine digits after the point.
nanos batch_time(const std::string& text) {
    nanos ns = 0;
    const std::size_t point = text.find('.');
    if (!parse_seconds(text, ns) || ns < 0 || (point != std::string::npos && text.size() - point > 10))
        throw line_error{"time", shown(text) + " is not seconds >= 0 with at most nine decimals"};
    return ns;
}

// A value's timestamp, "SEC.USEC" as the log writes it: seconds (a sign
// allowed), and up to six digits after the point as a decimal fraction.
timeval stamp(const std::string& text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    long sec = 0;
    long usec = 0;
    const auto whole = std::from_chars(p, end, sec);
    bool ok = whole.ec == std::errc{};
    p = whole.ptr;
    if (ok && p != end && *p == '.') {
        const char* const digits = ++p;
        for (; p != end && *p >= '0' && *p <= '9' && p - digits < 6; ++p) usec = usec * 10 + (*p - '0');
        ok = p > digits;
        for (auto n = p - digits; n < 6; ++n) usec *= 10;
    }
    if (!ok || p != end) throw line_error{"stamp", shown(text) + " is not SECONDS.MICROSECONDS"};
    return timeval{sec, usec};
}

// The last absolute time read, and its time since the epoch.
struct iso_cache {
    std::string text;
    nanos since_epoch = 0;
};

// What one line says; start is the start its absolute time implies.
struct line_event {
    long long index = -1;  // -1: the line has none
    nanos time = 0;
    api_cmd_t cmd{};
    std::optional<nanos> start;
    event_instance_t event;
};

line_event read_line(const std::string& line, json_row& row, iso_cache& last) {
    std::string error;
    if (!read_json_row(line, row, error)) throw line_error{"", error};
    line_event l;
    if (const json_field& index = row[f_batch];
        index.kind != json_field::absent && index.kind != json_field::null) {
        long long v = -1;
        const char* end = index.text.data() + index.text.size();
        if (index.kind != json_field::number || std::from_chars(index.text.data(), end, v).ptr != end ||
            v < 0)
            throw line_error{"batch", "is not an integer >= 0"};
        l.index = v;
    }
    l.time = batch_time(required_text(row, f_time, true));
    const std::string action = required_text(row, f_action);
    l.cmd = action_code(action.c_str());
    if (l.cmd == 0) throw line_error{"action", shown(action) + " is no action (CMD_ADD_NODE, ...)"};
    if (const std::optional<std::string> iso = text_field(row, f_iso_time)) {
        // The lines of a batch share their time: it is parsed once.
        if (*iso != last.text) {
            std::optional<nanos> t;
            if (!iso_value(*iso, t, error)) throw line_error{"iso_time", error};
            last.text = *iso;
            last.since_epoch = *t;
        }
        l.start = last.since_epoch - l.time;
    }
    event_instance_t& ev = l.event;
    ev.path = required_text(row, f_path);
    tk_string canonical = ev.path;
    toolkit::CElement::canonicalize_path(canonical);
    if (canonical != ev.path || ev.path.find_first_of("\t\n\r") != std::string::npos ||
        !toolkit::CElement::valid_string(ev.path))
        throw line_error{"path", shown(ev.path) + " is not a canonical path (/a/b)"};
    if (l.cmd == CMD_SET_LEAF) {
        const std::string type = required_text(row, f_type);
        ev.type = static_cast<data_type_t>(vlt_str_to_enum(type.c_str()));
        if (ev.type == DATATYPE_INVALID) throw line_error{"type", shown(type) + " is no type"};
        ev.value.set_string(required_text(row, f_value));
        if (ev.value.convert_type(ev.type) != 0)
            throw line_error{"value", shown(ev.value.get_bytes()) + " does not convert to " + type};
    }
    const std::optional<std::string> when = text_field(row, f_stamp, true);
    ev.value.timestamp() = when ? stamp(*when) : toolkit::CElement::_invalid_time;
    return l;
}

// Lines to batches: a batch is gathered from its first line on and written
// when a line of another batch (or the end) comes. The absolute times imply
// the start, the same for every line of a batch and --start's when that is
// given; it is written before the first batch that has it, and again before
// a batch whose lines imply another (as a log read with a later start holds).
class batch_builder {
public:
    batch_builder(log_writer& out, std::optional<nanos> start)
        : m_out(out), m_start(start), m_given(start.has_value()) {}

    void add(line_event&& l) {
        const bool same =
            m_open && (l.index >= 0 ? m_index == l.index : l.time == time() && l.cmd == m_batch.cmd);
        if (same && (l.time != time() || l.cmd != m_batch.cmd))
            throw line_error{l.time != time() ? "time" : "action", "differs from the batch's first line"};
        if (!same && m_open && l.time < time())
            throw line_error{"time",
                             "goes back from " + format_seconds(time()) + " to " + format_seconds(l.time)};
        if (!same) {
            close();
            m_open = true;
            m_index = l.index;
            to_timespec(l.time, m_batch.time);
            m_batch.cmd = l.cmd;
            m_batch_start.reset();
        }
        if (l.start) take_start(*l.start);
        m_batch.events.push_back(std::move(l.event));
    }

    // Writes the last batch, the start when it is not written yet and the
    // tail, and puts the log in place; false after a message.
    bool finish() {
        close();
        return m_out.finish(m_start);
    }

private:
    nanos time() const { return to_nanos(m_batch.time); }

    void close() {
        if (m_open) m_out.write(m_batch, m_start);
        m_batch.events.clear();
        m_open = false;
    }

    void take_start(nanos start) {
        if (start < 0) throw line_error{"iso_time", "places the start before 1970"};
        const std::optional<nanos> before = m_given ? m_start : m_batch_start;
        if (before && *before != start)
            throw line_error{"iso_time", "places the start at " + format_iso(start) + ", not at " +
                                             format_iso(*before) +
                                             (m_given ? " as --start" : " as the batch's first line")};
        m_start = m_batch_start = start;
    }

    log_writer& m_out;
    std::optional<nanos> m_start, m_batch_start;  // the start, and the one the batch's lines imply
    bool m_given;                                 // the start came from --start
    bool m_open = false;                          // a batch is being gathered
    long long m_index = -1;
    event_batch_t m_batch;
};

// The input's lines, one at a time in getline's one buffer.
class line_reader {
public:
    explicit line_reader(FILE* in) : m_in(in) {}

    bool next(std::string& line) {
        char* buffer = m_buffer.release();
        const ssize_t got = getline(&buffer, &m_capacity, m_in);
        m_buffer.reset(buffer);
        if (got < 0) return false;
        line.assign(buffer, static_cast<std::size_t>(got));
        ++m_number;
        return true;
    }
    long long number() const { return m_number; }
    bool failed() const { return std::ferror(m_in) != 0; }

private:
    struct freer {
        void operator()(char* p) const { std::free(p); }
    };
    FILE* m_in;
    std::unique_ptr<char, freer> m_buffer;
    std::size_t m_capacity = 0;
    long long m_number = 0;
};

}  // namespace

int run_import(const import_options& o) {
    std::optional<input_log> in = open_input(o.file);
    if (!in) return exit_usage;
    output_file out;
    if (!out.open(o.out, {&*in})) return exit_usage;
    log_writer writer(out);
    batch_builder batches(writer, o.start);
    line_reader lines(in->stream.get());
    std::string line;
    json_row row;
    iso_cache last;
    while (lines.next(line)) {
        if (line.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        try {
            batches.add(read_line(line, row, last));
        } catch (const line_error& e) {
            const std::string what =
                e.field.empty() ? "the line " + e.reason : "field '" + e.field + "' " + e.reason;
            std::fprintf(stderr, "rorezuredi-log: %s:%lld: %s\n", in->display().c_str(), lines.number(),
                         what.c_str());
            report_decoding(*in);
            return exit_refused;
        }
    }
    if (lines.failed()) {
        std::fprintf(stderr, "rorezuredi-log: can't read '%s'\n", in->display().c_str());
        return exit_usage;
    }
    if (report_decoding(*in)) return exit_refused;
    return batches.finish() ? exit_ok : exit_usage;
}

}  // namespace logtool
