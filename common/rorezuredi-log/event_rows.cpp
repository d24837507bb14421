#include "event_rows.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace logtool {

namespace {

// The reader keeps the events that replay drops while a walk runs.
struct keep_dropped_events {
    keep_dropped_events() { keep_unconverted_events = true; }
    ~keep_dropped_events() { keep_unconverted_events = false; }
    keep_dropped_events(const keep_dropped_events&) = delete;
    keep_dropped_events& operator=(const keep_dropped_events&) = delete;
};

}  // namespace

bool replay_drops(const event_instance_t& ev) {
    // A value that converted has its declared type; one that did not is still
    // text, which for a declared text type means text the store refuses.
    return ev.value.type() == DATATYPE_STRING &&
           (ev.type != DATATYPE_STRING || !toolkit::CElement::valid_string(ev.value.get_bytes()));
}

int show_batches(const selection_options& o, input_log& in,
                 const std::function<void(const shown_batch&)>& show) {
    selection chosen(o);
    const keep_dropped_events keep;
    log_cursor cursor(in);
    cursor.prime();
    if (!chosen.place(cursor, in)) return exit_refused;
    long long next_index = 0;
    event_batch_t batch;
    shown_batch shown;
    while (cursor.next(batch)) {
        shown.index = next_index;
        const auto& evs = batch.events;
        if (std::any_of(evs.begin(), evs.end(), [](const event_instance_t& e) { return !replay_drops(e); }))
            ++next_index;
        if (!chosen.keeps(shown.index, batch)) continue;
        shown.time = to_nanos(batch.time);
        shown.has_start = cursor.start_seen();
        shown.start = to_nanos(cursor.start());
        shown.batch = &batch;
        shown.dropped.clear();
        for (const event_instance_t& e : evs) shown.dropped.push_back(replay_drops(e) ? 1 : 0);
        show(shown);
    }
    if (cursor.failed()) return refuse(in, cursor.report());
    return exit_ok;
}

std::string_view value_text(const event_instance_t& ev, bool dropped, std::string& scratch) {
    if (dropped || ev.value.type() == DATATYPE_STRING) return ev.value.get_bytes();
    ev.value.to_string(scratch);
    return scratch;
}

const char* type_name(const event_instance_t& ev) {
    const char* name = vlt_enum_to_str(ev.type);
    return name != nullptr ? name : toolkit::CElement::_invalid.c_str();
}

bool has_timestamp(const event_instance_t& ev) {
    return ev.value.timestamp().tv_sec != -1;
}

std::string_view leaf_of(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void append_integer(std::string& out, nanos v) {
    char digits[48];
    if (v >= LLONG_MIN && v <= LLONG_MAX) {
        out.append(digits, std::to_chars(digits, digits + sizeof digits, static_cast<long long>(v)).ptr);
        return;
    }
    int n = 0;
    auto u = static_cast<unsigned __int128>(v < 0 ? -v : v);
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(u % 10));
        u /= 10;
    } while (u != 0);
    if (v < 0) out.push_back('-');
    while (n > 0) out.push_back(digits[--n]);
}

void append_event_time(std::string& out, const timeval& t) {
    append_integer(out, t.tv_sec);
    out.push_back('.');
    // "%.6ld": the sign, then at least six digits.
    if (t.tv_usec < 0) out.push_back('-');
    const size_t at = out.size();
    append_integer(out, t.tv_usec < 0 ? -nanos(t.tv_usec) : nanos(t.tv_usec));
    if (out.size() - at < 6) out.insert(at, 6 - (out.size() - at), '0');
}

void append_visible(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out.append("\\\\"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            default:
                if (b < 0x20 || b == 0x7f) {
                    out.append("\\x");
                    out.push_back(hex[b >> 4]);
                    out.push_back(hex[b & 0x0f]);
                } else {
                    out.push_back(c);
                }
        }
    }
}

}  // namespace logtool
