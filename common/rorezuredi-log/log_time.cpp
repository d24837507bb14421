#include "log_time.h"

#include <climits>
#include <cstring>

namespace logtool {

nanos to_nanos(const timespec& t) {
    return nanos(t.tv_sec) * ns_per_s + t.tv_nsec;
}

bool to_timespec(nanos ns, timespec& out) {
    if (ns < 0 || ns / ns_per_s > nanos(LONG_MAX)) return false;
    out.tv_sec = static_cast<time_t>(ns / ns_per_s);
    out.tv_nsec = static_cast<long>(ns % ns_per_s);
    return true;
}

namespace {

std::string digits(unsigned __int128 v, std::size_t width = 1) {
    char buf[48];
    std::size_t n = 0;
    do {
        buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0 || n < width);
    std::string s(n, '0');
    for (std::size_t i = 0; i < n; ++i) s[i] = buf[n - 1 - i];
    return s;
}

// The nine fraction digits of a seconds text, trimmed of trailing zeros
// (with the point, when nothing is left).
void trim_fraction(std::string& s) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// An unsigned decimal number of exactly `width` digits (any number up to 18 when 0).
bool read_number(std::string_view text, std::size_t& pos, std::size_t width, long long& out) {
    const std::size_t begin = pos;
    long long v = 0;
    while (pos < text.size() && is_digit(text[pos]) && pos - begin < 18) v = v * 10 + (text[pos++] - '0');
    if (pos == begin || (width != 0 && pos - begin != width)) return false;
    out = v;
    return true;
}

// Digits after a point: the first nine count, more are cut off.
bool read_fraction(std::string_view text, std::size_t& pos, long long& ns) {
    const std::size_t begin = pos;
    ns = 0;
    for (long long scale = ns_per_s / 10; pos < text.size() && is_digit(text[pos]); ++pos, scale /= 10)
        ns += (text[pos] - '0') * scale;
    return pos != begin;
}

bool expect(std::string_view text, std::size_t& pos, const char* any_of) {
    if (pos >= text.size() || std::strchr(any_of, text[pos]) == nullptr || text[pos] == '\0') return false;
    ++pos;
    return true;
}

// YYYY-MM-DDTHH:MM:SS[.fraction]Z, in ns since the epoch.
bool parse_iso(std::string_view text, nanos& out) {
    std::size_t pos = 0;
    long long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, frac = 0;
    bool ok = read_number(text, pos, 4, year) && expect(text, pos, "-") && read_number(text, pos, 2, month) &&
              expect(text, pos, "-") && read_number(text, pos, 2, day) && expect(text, pos, "Tt") &&
              read_number(text, pos, 2, hour) && expect(text, pos, ":") &&
              read_number(text, pos, 2, minute) && expect(text, pos, ":") &&
              read_number(text, pos, 2, second);
    if (ok && expect(text, pos, ".")) ok = read_fraction(text, pos, frac);
    ok = ok && expect(text, pos, "Zz") && pos == text.size();
    if (!ok || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    tm parts{};
    parts.tm_year = static_cast<int>(year - 1900);
    parts.tm_mon = static_cast<int>(month - 1);
    parts.tm_mday = static_cast<int>(day);
    parts.tm_hour = static_cast<int>(hour);
    parts.tm_min = static_cast<int>(minute);
    parts.tm_sec = static_cast<int>(second);
    out = nanos(timegm(&parts)) * ns_per_s + frac;
    return true;
}

}  // namespace

std::string format_seconds(nanos ns) {
    const auto v = static_cast<unsigned __int128>(ns < 0 ? -ns : ns);
    return (ns < 0 ? "-" : "") + digits(v / ns_per_s) + "." + digits(v % ns_per_s, 9);
}

std::string short_seconds(nanos ns) {
    std::string s = format_seconds(ns);
    trim_fraction(s);
    return s;
}

std::string format_iso(nanos since_epoch) {
    nanos sec = since_epoch / ns_per_s, frac = since_epoch % ns_per_s;
    if (frac < 0) {
        frac += ns_per_s;
        sec -= 1;
    }
    const auto t = static_cast<time_t>(sec);
    tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) return format_seconds(since_epoch) + " s since the epoch";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.", &parts);
    std::string out = buf + digits(static_cast<unsigned __int128>(frac), 9);
    trim_fraction(out);
    return out + "Z";
}

bool parse_seconds(std::string_view text, nanos& out) {
    std::size_t pos = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative || (!text.empty() && text[0] == '+')) ++pos;
    long long sec = 0, frac = 0;
    const bool whole = read_number(text, pos, 0, sec);
    const bool point =
        whole ? expect(text, pos, ".") : expect(text, pos, ".") && read_fraction(text, pos, frac);
    if (!whole && !point) return false;
    if (whole && point) read_fraction(text, pos, frac);
    if (pos != text.size()) return false;
    out = (negative ? -1 : 1) * (nanos(sec) * ns_per_s + frac);
    return true;
}

bool parse_time_arg(std::string_view text, time_arg& out, std::string& error) {
    if (parse_seconds(text, out.value)) {
        out.absolute = false;
        return true;
    }
    if (parse_iso(text, out.value)) {
        out.absolute = true;
        return true;
    }
    error = "'" + std::string(text) +
            "' is neither seconds (12.5) nor an ISO 8601 UTC time (2026-12-06T19:04:13.5Z)";
    return false;
}

}  // namespace logtool
