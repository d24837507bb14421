// Replay: reads an event log into batches, then applies them to the store in
// time order, paced as the command line asks.
#include <sys/prctl.h>

#include <cassert>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>

#include "rorezuredi.h"

namespace {

constexpr int read_chunk = 8192;
constexpr long ns_per_s = 1000000000L;

// True once a callback has asked the parser to stop. The parser may still
// deliver the end callback of a self-closing element after that; such
// callbacks are ignored, since they can meet states that no complete
// document produces.
bool parser_stopped() {
    if (program_state.parser == nullptr) return false;
    XML_ParsingStatus status;
    XML_GetParsingStatus(program_state.parser, &status);
    return status.parsing == XML_FINISHED;
}

// Notes where the first error of a read lies.
void note_position(log_read_report_t& r) {
    r.line = XML_GetCurrentLineNumber(program_state.parser);
    r.column = XML_GetCurrentColumnNumber(program_state.parser) + 1;
    r.offset = XML_GetCurrentByteIndex(program_state.parser);
}

// Asks for a non-resumable stop; the calling callback still completes its steps.
void stop_parser() {
    if (program_state.parser == nullptr || parser_stopped()) return;
    log_read_report_t& r = log_read_report;
    if (!r.failed) {
        r.failed = true;
        r.by_rule = true;
        note_position(r);
    }
    XML_StopParser(program_state.parser, XML_FALSE);
}

// Writes one of the reader's error messages; the first of a read is kept in
// the report, without its line end.
void reader_error(const char* text) {
    std::fputs(text, stderr);
    log_read_report_t& r = log_read_report;
    if (r.reason.empty()) {
        r.reason = text;
        if (!r.reason.empty() && r.reason.back() == '\n') r.reason.pop_back();
    }
}

// One "%ld" conversion of formatted input at p: white space, an optional
// sign, at least one decimal digit; out of range it gives LONG_MIN or
// LONG_MAX, as the library's conversion does. Advances p past what it read.
// Written out because a log holds millions of times and sscanf is slow.
bool scan_long(const char*& p, long& out) {
    const char* s = p;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    if (*s < '0' || *s > '9') return false;
    const unsigned long limit = negative ? 0UL - static_cast<unsigned long>(LONG_MIN) : LONG_MAX;
    unsigned long value = 0;
    bool overflow = false;
    for (; *s >= '0' && *s <= '9'; ++s) {
        const unsigned long digit = static_cast<unsigned long>(*s - '0');
        if (overflow || value > (limit - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
    }
    if (overflow)
        out = negative ? LONG_MIN : LONG_MAX;
    else
        out = negative ? static_cast<long>(0UL - value) : static_cast<long>(value);
    p = s;
    return true;
}

// Reads "seconds.fraction" as the conversion "%ld.%ld" does; false unless
// both numbers were read. The digits after the point are a whole count, not
// a decimal fraction.
bool read_time(const XML_Char* text, long& sec, long& frac) {
    const char* p = text;
    long s = 0;
    if (!scan_long(p, s)) return false;
    sec = s;
    if (*p != '.') return false;
    ++p;
    long f = 0;
    if (!scan_long(p, f)) return false;
    frac = f;
    return true;
}

// Exact comparison of element, attribute and command names; inlined, since
// it runs several times for every element of the log.
inline bool same_name(const XML_Char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

void unsupported_attribute(const XML_Char* attr, const char* tag) {
    ++log_read_report.unknown_attributes;
    std::fprintf(stderr, "Warning: unsupported attribute %s on <%s> tag\n", attr, tag);
}

void start_event(const XML_Char** attrs) {
    ProgramState& ps = program_state;
    if (!ps.batch_in_progress) {
        reader_error("Error: event outside of batch\n");
        stop_parser();
    }
    if (ps.event_in_progress) {
        reader_error("Error: nested events\n");
        stop_parser();
    }

    event_instance_t ev;
    long sec = -1;
    long frac = 0;
    for (int i = 0; attrs[i] != nullptr; i += 2) {
        const XML_Char* name = attrs[i];
        const XML_Char* val = attrs[i + 1];
        if (same_name(name, log_path_attr)) {
            // Built to its exact length: assigning into the empty string
            // would round the capacity up, and a log holds millions of paths.
            ev.path = tk_string(val);
        } else if (same_name(name, log_type_attr)) {
            ev.type = vlt_str_to_enum(val);
        } else if (same_name(name, log_time_attr)) {
            if (!read_time(val, sec, frac)) {
                std::fprintf(stderr, "Invalid time: %s\n", val);
                ++log_read_report.invalid_event_times;
                sec = -1;
            }
        } else {
            unsupported_attribute(name, log_event_tag);
        }
    }

    if (ev.path.empty()) {
        reader_error("Error: event without path\n");
        stop_parser();
    }
    if (ps.current_batch.cmd == CMD_SET_LEAF && ev.type == DATATYPE_INVALID) {
        reader_error("Error: SET_LEAF with bad/no type\n");
        stop_parser();
    }
    if (ps.current_batch.cmd != CMD_SET_LEAF && ev.type != DATATYPE_INVALID) {
        std::fputs("Warning: ignoring type\n", stderr);
        ++log_read_report.ignored_types;
    }

    ps.event_in_progress = true;
    ps.char_data.clear();
    ev.value.timestamp().tv_sec = sec;
    ev.value.timestamp().tv_usec = frac;
    ps.current_batch.events.push_back(std::move(ev));
}

void start_batch(const XML_Char** attrs) {
    ProgramState& ps = program_state;
    event_batch_t& batch = ps.current_batch;
    if (ps.batch_in_progress) {
        reader_error("Error: nested batch\n");
        stop_parser();
    }

    ps.batch_in_progress = true;
    batch.time.tv_sec = -1;
    batch.cmd = api_cmd_t(0);
    batch.events.clear();

    for (int i = 0; attrs[i] != nullptr; i += 2) {
        const XML_Char* name = attrs[i];
        const XML_Char* val = attrs[i + 1];
        if (same_name(name, log_time_attr)) {
            long sec = batch.time.tv_sec;
            long nsec = batch.time.tv_nsec;
            bool ok = read_time(val, sec, nsec);
            batch.time.tv_sec = sec;
            batch.time.tv_nsec = nsec;
            if (!ok) {
                std::fprintf(stderr, "Invalid time: %s\n", val);
                batch.time.tv_sec = -1;
            }
        } else if (same_name(name, log_action_attr)) {
            batch.cmd = action_code(val);
        } else {
            unsupported_attribute(name, log_batch_tag);
        }
    }

    if (batch.time.tv_sec < 0 || batch.time.tv_nsec < 0 || batch.time.tv_nsec > ns_per_s - 1) {
        reader_error("Error: bad/missing batch timestamp");
        stop_parser();
    }
    if (batch.cmd == 0) {
        reader_error("Error: bad/missing batch action");
        stop_parser();
    }
}

void start_start(const XML_Char** attrs) {
    long sec = -1;
    long nsec = 0;
    for (int i = 0; attrs[i] != nullptr; i += 2) {
        const XML_Char* name = attrs[i];
        const XML_Char* val = attrs[i + 1];
        if (same_name(name, log_time_attr)) {
            if (!read_time(val, sec, nsec)) {
                std::fprintf(stderr, "Invalid time: %s\n", val);
                sec = -1;
            }
        } else {
            unsupported_attribute(name, log_start_tag);
        }
    }
    if (sec >= 0 && nsec >= 0 && nsec <= ns_per_s - 1) {
        program_state.start_time.tv_sec = sec;
        program_state.start_time.tv_nsec = nsec;
        log_read_report.start_seen = true;
    } else {
        reader_error("Error: bad/missing batch timestamp");
        stop_parser();
    }
}

void end_event() {
    ProgramState& ps = program_state;
    if (!ps.event_in_progress) {
        std::fprintf(stderr, "Warning: unexpected </%s> tag\n", log_event_tag);
        ++log_read_report.unexpected_end_tags;
        return;
    }
    ps.event_in_progress = false;
    std::vector<event_instance_t>& events = ps.current_batch.events;
    // An open event always has its record at the end of the batch.
    if (!events.empty() && ps.current_batch.cmd == CMD_SET_LEAF) {
        event_instance_t& ev = events.back();
        ev.value.set_string(ps.char_data);
        if (ev.value.convert_type(ev.type) != 0) {
            std::fputs("Warning: failed to do type conversion\n", stderr);
            ++log_read_report.dropped_events;
            if (!keep_unconverted_events) events.pop_back();
        }
    }
    ps.char_data.clear();
}

void end_batch() {
    ProgramState& ps = program_state;
    if (!ps.batch_in_progress) {
        std::fprintf(stderr, "Warning: unexpected </%s> tag\n", log_batch_tag);
        ++log_read_report.unexpected_end_tags;
        return;
    }
    if (ps.event_in_progress) {
        reader_error("Error: failed to close <event> tag!\n");
        stop_parser();
        return;
    }
    ps.batch_in_progress = false;
    log_read_report_t& r = log_read_report;
    ++r.batches_closed;
    r.batch_end = XML_GetCurrentByteIndex(ps.parser) + XML_GetCurrentByteCount(ps.parser);
    if (on_batch_read) {
        on_batch_read(ps.current_batch);
        ps.current_batch.events.clear();
        return;
    }
    if (ps.current_batch.events.empty()) return;
    // The stored batch gets storage of exactly its size, as a copy would, but
    // its events are moved rather than copied: the reader's own copy is
    // emptied at the next batch start anyway.
    event_batch_t& current = ps.current_batch;
    event_batch_t done;
    done.time = current.time;
    done.cmd = current.cmd;
    done.events.reserve(current.events.size());
    for (event_instance_t& ev : current.events) done.events.push_back(std::move(ev));
    current.events.clear();
    ps.batches.push_back(std::move(done));
}

}  // namespace

// ---- Reader ------------------------------------------------------------------

int parse_xml_file(FILE* log) {
    if (begin_log_read() != 0) {
        std::fclose(log);
        return -1;
    }
    std::puts("Parsing XML...");
    const int result = parse_loop(log);
    end_log_read(log);
    return result;
}

int parse_loop(FILE* log) {
    for (;;) {
        const int r = read_log_piece(log);
        if (r <= 0) return r;
    }
}

std::function<void(event_batch_t&)> on_batch_read;
bool keep_unconverted_events = false;
log_read_report_t log_read_report;

int begin_log_read() {
    log_read_report = log_read_report_t();
    // No encoding given: the document's declaration decides, UTF-8 without one.
    // No external entity handler is set, so nothing but the log is ever read.
    program_state.parser = XML_ParserCreate(nullptr);
    if (program_state.parser == nullptr) {
        std::fputs("Error: can't create XML parser\n", stderr);
        return -1;
    }
    XML_SetElementHandler(program_state.parser, start_handler, end_handler);
    XML_SetCharacterDataHandler(program_state.parser, char_handler);
    return 0;
}

int read_log_piece(FILE* log) {
    XML_Parser parser = program_state.parser;
    log_read_report_t& r = log_read_report;
    void* buf = XML_GetBuffer(parser, read_chunk);
    if (buf == nullptr) {
        std::fputs("XML_GetBuffer() failed\n", stderr);
        if (!r.failed) {
            r.failed = true;
            r.xml_error = XML_GetErrorCode(parser);
            r.reason = XML_ErrorString(XML_GetErrorCode(parser));
        }
        return -1;
    }
    const size_t n = std::fread(buf, 1, read_chunk, log);
    r.bytes += static_cast<long long>(n);
    if (XML_ParseBuffer(parser, static_cast<int>(n), n == 0) == XML_STATUS_ERROR) {
        std::fputs("XML_ParseBuffer() failed\n", stderr);
        // A stop asked for by a rule has been noted already; anything else
        // is the XML parser's own verdict.
        if (!r.failed) {
            r.failed = true;
            r.xml_error = XML_GetErrorCode(parser);
            r.reason = XML_ErrorString(XML_GetErrorCode(parser));
            note_position(r);
        }
        return -1;
    }
    return n == 0 ? 0 : 1;
}

void end_log_read(FILE* log) {
    XML_ParserFree(program_state.parser);
    program_state.parser = nullptr;
    std::fclose(log);
}

void swap_log_reader(log_reader_state_t& state) {
    ProgramState& ps = program_state;
    std::swap(ps.parser, state.parser);
    ps.char_data.swap(state.char_data);
    std::swap(ps.batch_in_progress, state.batch_in_progress);
    std::swap(ps.event_in_progress, state.event_in_progress);
    std::swap(ps.current_batch.time, state.current_batch.time);
    std::swap(ps.current_batch.cmd, state.current_batch.cmd);
    ps.current_batch.events.swap(state.current_batch.events);
    std::swap(ps.start_time, state.start_time);
    std::swap(log_read_report, state.report);
    std::swap(on_batch_read, state.on_batch);
}

void start_handler(void*, const XML_Char* name, const XML_Char** attrs) {
    if (parser_stopped()) return;
    ++log_read_report.open_elements;
    if (same_name(name, log_event_tag))
        start_event(attrs);
    else if (same_name(name, log_batch_tag))
        start_batch(attrs);
    else if (same_name(name, log_start_tag))
        start_start(attrs);
    else if (!same_name(name, log_root_tag)) {
        std::fprintf(stderr, "Unrecognized tag '%s'\n", name);
        ++log_read_report.unknown_tags;
    }
}

void end_handler(void*, const XML_Char* name) {
    if (parser_stopped()) return;
    --log_read_report.open_elements;
    if (same_name(name, log_event_tag))
        end_event();
    else if (same_name(name, log_batch_tag))
        end_batch();
}

void char_handler(void*, const XML_Char* s, int len) {
    if (parser_stopped() || len <= 0) return;
    program_state.char_data.append(s, static_cast<size_t>(len));
}

// ---- Batch application ---------------------------------------------------------

int process_batch(event_batch_t& batch) {
    std::vector<tk_string> paths;
    std::vector<api_status_t> statuses;
    const tk_string extra;

    // Refused events are erased in place, in one pass: each accepted event is
    // move-assigned straight to its final place and the surplus tail is
    // destroyed at the end. The batch ends exactly as erasing the refused
    // events one by one would leave it, without moving the tail once per
    // refused event.
    std::vector<event_instance_t>& events = batch.events;
    paths.reserve(events.size());
    size_t kept = 0;
    for (size_t j = 0; j < events.size(); ++j) {
        if (!ok_to_use(events[j].path, batch.cmd)) continue;
        if (kept != j) events[kept] = std::move(events[j]);
        paths.push_back(events[kept].path);
        ++kept;
    }
    events.erase(events.begin() + static_cast<std::ptrdiff_t>(kept), events.end());
    if (paths.empty()) return 0;

    toolkit::CVelt& api = program_state.api;
    int result = 0;
    const char* message = nullptr;
    switch (batch.cmd) {
        case CMD_ADD_NODE:
            result = api.add_nodes(paths, statuses, extra);
            message = "Error: add_node() failed!\n";
            break;
        case CMD_REMOVE_NODE:
            result = api.remove_nodes(paths, statuses, extra);
            message = "Error: remove_node() failed!\n";
            break;
        case CMD_SET_LEAF: {
            std::vector<toolkit::CElement> values;
            values.reserve(events.size());
            for (const event_instance_t& ev : events)
                values.emplace_back(ev.value, toolkit::CElement::_invalid_time);
            const std::vector<vlt_tribool_t> tribools(paths.size(), vlt_tribool_t(2));
            result = api.set_leaves(paths, values, tribools, statuses, extra);
            message = "Error: set_leaf() failed!\n";
            break;
        }
        case CMD_CLEAR_LEAF:
            result = api.clear_leaves(paths, statuses, extra);
            message = "Error: clear_leaf() failed!\n";
            break;
        default:
            // The reader admits only the four commands above.
            assert(!"process_batch: unknown command");
            return -1;
    }
    if (result != 0) std::fputs(message, stderr);
    return result;
}

// ---- Scheduler -----------------------------------------------------------------

int process_event_batches() {
    ProgramState& ps = program_state;
    std::vector<event_batch_t>& batches = ps.batches;

    std::printf("Sorting list of %zu event batches...\n", batches.size());
    sort_batches(batches);
    // The origin is taken after the sort, so parsing and sorting do not make
    // the first batches late.
    clock_gettime(CLOCK_MONOTONIC, &ps.clock_origin);
    if (!ps.preserve_timestamps) toolkit::CElement::_forced_auto_time = true;
    // The kernel may end a sleep up to the thread's timer slack late (50 µs
    // by default); paced batches are due to the microsecond.
    if (ps.use_original_delays || ps.wait_delay_us > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::puts("Replaying events:");

    for (size_t i = 0; i < batches.size(); ++i) {
        const event_batch_t& batch = batches[i];

        // Time elapsed since the origin.
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        // The assertions are kept without blanks, so that a failure names its
        // check as "ts.tv_nsec>0" and the like.
        // clang-format off
        ts.tv_nsec -= ps.clock_origin.tv_nsec;
        if (ts.tv_nsec < 0) {
            ts.tv_nsec += ns_per_s;
            ts.tv_sec -= 1;
            assert(ts.tv_nsec>0);
        }
        ts.tv_sec -= ps.clock_origin.tv_sec;
        assert(ts.tv_sec>=0);
        // clang-format on

        // Time left until the batch is due; negative seconds when overdue.
        timespec sleep_ts;
        sleep_ts.tv_sec = batch.time.tv_sec;
        sleep_ts.tv_nsec = batch.time.tv_nsec - ts.tv_nsec;
        if (sleep_ts.tv_nsec < 0) {
            sleep_ts.tv_nsec += ns_per_s;
            sleep_ts.tv_sec -= 1;
            // clang-format off
            assert(sleep_ts.tv_nsec>0);
            // clang-format on
        }
        sleep_ts.tv_sec -= ts.tv_sec;

        std::printf("\rBatch %12zu (out of %zu) ", i, batches.size());

        if (ps.use_original_delays &&
            (sleep_ts.tv_sec > 0 || (sleep_ts.tv_sec == 0 && sleep_ts.tv_nsec > 0))) {
            nanosleep(&sleep_ts, nullptr);
        } else if (ps.wait_delay_us > 0) {
            timespec delay;
            delay.tv_sec = ps.wait_delay_us / 1000000;
            delay.tv_nsec = (ps.wait_delay_us % 1000000) * 1000;
            nanosleep(&delay, nullptr);
        }

        static const char spinner[] = "|/-\\";
        char c = spinner[ps.spinner_index % 4];
        if (++ps.spinner_index > 3) ps.spinner_index = 0;
        std::printf("[ %c ]", c);
        std::fflush(stdout);

        int result = process_batch(batches[i]);
        if (result != 0) return result;
    }
    std::printf("\nDone.\n");
    return 0;
}
