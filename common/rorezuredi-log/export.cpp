// export: one row per event, as JSON Lines or as CSV (RFC 4180), with the
// same columns in both, for pandas, DuckDB and spreadsheets.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "event_rows.h"
#include "json_row.h"
#include "log_format.h"
#include "log_writer.h"

namespace logtool {

namespace {

// The columns, in order; import reads the JSON Lines by these names.
constexpr const char* columns[] = {"batch", "time",  "time_ns",  "iso_time", "action", "path",
                                   "leaf",  "stamp", "stamp_us", "type",     "value",  "dropped"};

// Each column's key, quoted, with its colon.
const std::vector<std::string>& json_keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (const char* c : columns) k.push_back(std::string("\"") + c + "\":");
        return k;
    }();
    return keys;
}

bool plain_json(unsigned char b) {
    return b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
}

// A JSON string; a byte that is not part of valid UTF-8 becomes U+FFFD.
void append_json_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (std::size_t i = 0; i < text.size();) {
        // A run of bytes that stand for themselves, in one append.
        std::size_t run = i;
        while (run < text.size() && plain_json(static_cast<unsigned char>(text[run]))) ++run;
        out.append(text.substr(i, run - i));
        if ((i = run) >= text.size()) break;
        const char c = text[i];
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80) {
            const std::size_t len = utf8_length(text, i);
            if (len == 0) {
                out.append("\xef\xbf\xbd");
                ++i;
            } else {
                out.append(text.substr(i, len));
                i += len;
            }
            continue;
        }
        ++i;
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                out.append("\\u00");
                out.push_back(hex[b >> 4]);
                out.push_back(hex[b & 0x0f]);
        }
    }
    out.push_back('"');
}

// A CSV field: quoted, its quotes doubled, when it holds a comma, a quote or
// a line break, or is empty text (an empty field is "none").
void append_csv_string(std::string& out, std::string_view text) {
    const auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
    if (!text.empty() && std::none_of(text.begin(), text.end(), special)) {
        out.append(text);
        return;
    }
    out.push_back('"');
    for (const char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

// Writes one row, field by field, in either format.
class row_writer {
public:
    row_writer(std::string& out, bool json) : m_out(out), m_json(json) {}

    void begin() {
        if (m_json) m_out.push_back('{');
        m_field = 0;
    }
    // Begins a row with the fields another writer wrote into `head`.
    void begin_after(const std::string& head, std::size_t fields) {
        m_out.append(head);
        m_field = fields;
    }
    std::size_t fields() const { return m_field; }
    void text(std::string_view v) {
        next();
        if (m_json)
            append_json_string(m_out, v);
        else
            append_csv_string(m_out, v);
    }
    // Text known to need no escape in either format: numbers and names.
    void plain_text(std::string_view v) {
        next();
        if (m_json) m_out.push_back('"');
        m_out.append(v);
        if (m_json) m_out.push_back('"');
    }
    void number(nanos v) {
        next();
        append_decimal(m_out, v);
    }
    void boolean(bool v) {
        next();
        m_out.append(v ? "true" : "false");
    }
    void none() {
        next();
        if (m_json) m_out.append("null");
    }
    void end() { m_out.append(m_json ? "}\n" : "\r\n"); }

private:
    void next() {
        if (m_field > 0) m_out.push_back(',');
        if (m_json) m_out.append(json_keys()[m_field]);
        ++m_field;
    }

    std::string& m_out;
    bool m_json;
    std::size_t m_field = 0;
};

void append_rows(std::string& out, const log_batch& b, bool json) {
    // The batch's own fields are the same in each of its rows: written once.
    std::string head, scratch;
    row_writer batch(head, json);
    batch.begin();
    batch.number(b.index);
    const nanos time = to_nanos(b.batch.time);
    batch.plain_text(format_seconds(time));
    batch.number(time);
    if (b.start)
        batch.plain_text(format_iso(*b.start + time));
    else
        batch.none();
    const api_cmd_t cmd = b.batch.cmd;
    batch.plain_text(action_name(cmd));
    row_writer row(out, json);
    for (const event_instance_t& ev : b.batch.events) {
        row.begin_after(head, batch.fields());
        row.text(ev.path);
        row.text(leaf_of(ev.path));
        if (has_timestamp(ev)) {
            const timeval& t = ev.value.timestamp();
            scratch.clear();
            append_event_time(scratch, t);
            row.plain_text(scratch);
            row.number(nanos(t.tv_sec) * 1000000 + t.tv_usec);
        } else {
            row.none();
            row.none();
        }
        if (cmd == CMD_SET_LEAF) {
            row.plain_text(type_name(ev));
            row.text(value_text(ev, scratch));
        } else {
            row.none();
            row.none();
        }
        row.boolean(replay_drops(ev, cmd));
        row.end();
    }
}

}  // namespace

int run_export(const export_options& o) {
    const bool json = o.format == export_format::jsonl;
    log_rewrite io;
    if (!io.open(o.file, o.out, every_event)) return exit_usage;
    FILE* out = io.out.stream();
    std::string text;
    if (!json) {
        for (const char* c : columns) text.append(text.empty() ? "" : ",").append(c);
        text.append("\r\n");
    }
    const int status = show_batches(*io.cursor, o.select, [&](const log_batch& b) {
        append_rows(text, b, json);
        std::fwrite(text.data(), 1, text.size(), out);
        text.clear();
    });
    if (status != exit_ok) return status;
    std::fwrite(text.data(), 1, text.size(), out);
    return io.out.commit() ? exit_ok : exit_usage;
}

}  // namespace logtool
