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
bool parser_stopped(const log_reader_t& rd) {
    if (rd.parser == nullptr) return false;
    XML_ParsingStatus status;
    XML_GetParsingStatus(rd.parser, &status);
    return status.parsing == XML_FINISHED;
}

// Notes where the first error of a read lies.
void note_position(log_reader_t& rd) {
    log_read_report_t& r = rd.report;
    r.line = XML_GetCurrentLineNumber(rd.parser);
    r.column = XML_GetCurrentColumnNumber(rd.parser) + 1;
    r.offset = XML_GetCurrentByteIndex(rd.parser);
}

// Asks for a non-resumable stop; the calling callback still completes its steps.
void stop_parser(log_reader_t& rd) {
    if (rd.parser == nullptr || parser_stopped(rd)) return;
    if (!rd.report.failed()) {
        rd.report.end = LOG_READ_BROKEN_RULE;
        note_position(rd);
    }
    XML_StopParser(rd.parser, XML_FALSE);
}

// Writes one of the reader's error messages; the first of a read is kept in
// the report, without its line end.
void reader_error(log_reader_t& rd, const char* text) {
    std::fputs(text, stderr);
    std::string& reason = rd.report.reason;
    if (reason.empty()) {
        reason = text;
        if (!reason.empty() && reason.back() == '\n') reason.pop_back();
    }
}

// The XML parser refused the document: cut short when it ended inside an
// open element with an error only the end of the input gives, else not
// well-formed. Notes the parser's reason and position.
void parser_failed(log_reader_t& rd) {
    log_read_report_t& r = rd.report;
    const XML_Error code = XML_GetErrorCode(rd.parser);
    bool at_end = false;
    switch (code) {
        case XML_ERROR_NO_ELEMENTS:
        case XML_ERROR_UNCLOSED_TOKEN:
        case XML_ERROR_PARTIAL_CHAR:
        case XML_ERROR_UNCLOSED_CDATA_SECTION: at_end = true; break;
        default: break;
    }
    r.end = at_end && r.open_elements > 0 ? LOG_READ_CUT_SHORT : LOG_READ_NOT_WELL_FORMED;
    r.reason = XML_ErrorString(code);
    note_position(rd);
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

void unsupported_attribute(log_reader_t& rd, const XML_Char* attr, const char* tag) {
    ++rd.report.unknown_attributes;
    std::fprintf(stderr, "Warning: unsupported attribute %s on <%s> tag\n", attr, tag);
}

void start_event(log_reader_t& rd, const XML_Char** attrs) {
    if (!rd.batch_in_progress) {
        reader_error(rd, "Error: event outside of batch\n");
        stop_parser(rd);
    }
    if (rd.event_in_progress) {
        reader_error(rd, "Error: nested events\n");
        stop_parser(rd);
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
                ++rd.report.invalid_event_times;
                sec = -1;
            }
        } else {
            unsupported_attribute(rd, name, log_event_tag);
        }
    }

    if (ev.path.empty()) {
        reader_error(rd, "Error: event without path\n");
        stop_parser(rd);
    }
    if (rd.current_batch.cmd == CMD_SET_LEAF && ev.type == DATATYPE_INVALID) {
        reader_error(rd, "Error: SET_LEAF with bad/no type\n");
        stop_parser(rd);
    }
    if (rd.current_batch.cmd != CMD_SET_LEAF && ev.type != DATATYPE_INVALID) {
        std::fputs("Warning: ignoring type\n", stderr);
        ++rd.report.ignored_types;
    }

    rd.event_in_progress = true;
    rd.char_data.clear();
    ev.value.timestamp().tv_sec = sec;
    ev.value.timestamp().tv_usec = frac;
    rd.current_batch.events.push_back(std::move(ev));
}

void start_batch(log_reader_t& rd, const XML_Char** attrs) {
    event_batch_t& batch = rd.current_batch;
    if (rd.batch_in_progress) {
        reader_error(rd, "Error: nested batch\n");
        stop_parser(rd);
    }

    rd.batch_in_progress = true;
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
            unsupported_attribute(rd, name, log_batch_tag);
        }
    }

    if (batch.time.tv_sec < 0 || batch.time.tv_nsec < 0 || batch.time.tv_nsec > ns_per_s - 1) {
        reader_error(rd, "Error: bad/missing batch timestamp");
        stop_parser(rd);
    }
    if (batch.cmd == 0) {
        reader_error(rd, "Error: bad/missing batch action");
        stop_parser(rd);
    }
}

void start_start(log_reader_t& rd, const XML_Char** attrs) {
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
            unsupported_attribute(rd, name, log_start_tag);
        }
    }
    if (sec >= 0 && nsec >= 0 && nsec <= ns_per_s - 1) {
        rd.start_time.tv_sec = sec;
        rd.start_time.tv_nsec = nsec;
        rd.report.start_seen = true;
    } else {
        reader_error(rd, "Error: bad/missing batch timestamp");
        stop_parser(rd);
    }
}

void end_event(log_reader_t& rd) {
    if (!rd.event_in_progress) {
        std::fprintf(stderr, "Warning: unexpected </%s> tag\n", log_event_tag);
        ++rd.report.unexpected_end_tags;
        return;
    }
    rd.event_in_progress = false;
    std::vector<event_instance_t>& events = rd.current_batch.events;
    // An open event always has its record at the end of the batch.
    if (!events.empty() && rd.current_batch.cmd == CMD_SET_LEAF) {
        event_instance_t& ev = events.back();
        ev.value.set_string(rd.char_data);
        if (ev.value.convert_type(ev.type) != 0) {
            std::fputs("Warning: failed to do type conversion\n", stderr);
            ++rd.report.dropped_events;
            events.pop_back();
        }
    }
    rd.char_data.clear();
}

void end_batch(log_reader_t& rd) {
    if (!rd.batch_in_progress) {
        std::fprintf(stderr, "Warning: unexpected </%s> tag\n", log_batch_tag);
        ++rd.report.unexpected_end_tags;
        return;
    }
    if (rd.event_in_progress) {
        reader_error(rd, "Error: failed to close <event> tag!\n");
        stop_parser(rd);
        return;
    }
    rd.batch_in_progress = false;
    log_read_report_t& r = rd.report;
    ++r.batches_closed;
    r.batch_end = XML_GetCurrentByteIndex(rd.parser) + XML_GetCurrentByteCount(rd.parser);
    rd.on_batch(rd.current_batch);
    rd.current_batch.events.clear();
}

// Replay keeps a finished batch that holds events. The stored batch gets
// storage of exactly its size, as a copy would, but its events are moved
// rather than copied: the reader's own copy is emptied next anyway.
void keep_batch(event_batch_t& current) {
    if (current.events.empty()) return;
    event_batch_t done;
    done.time = current.time;
    done.cmd = current.cmd;
    done.events.reserve(current.events.size());
    for (event_instance_t& ev : current.events) done.events.push_back(std::move(ev));
    program_state.batches.push_back(std::move(done));
}

}  // namespace

// ---- Reader ------------------------------------------------------------------

int parse_xml_file(FILE* log) {
    ProgramState& ps = program_state;
    log_reader_t reader{ps.parser,        ps.char_data,  ps.batch_in_progress, ps.event_in_progress,
                        ps.current_batch, ps.start_time, keep_batch,           {}};
    if (begin_log_read(reader) != 0) {
        std::fclose(log);
        return -1;
    }
    std::puts("Parsing XML...");
    const int result = parse_loop(log);
    end_log_read(reader);
    std::fclose(log);
    return result;
}

int parse_loop(FILE* log) {
    // The reader is the one parse_xml_file bound to ProgramState's parser.
    log_reader_t& reader = *static_cast<log_reader_t*>(XML_GetUserData(program_state.parser));
    for (;;) {
        const int r = read_log_piece(reader, log);
        if (r <= 0) return r;
    }
}

log_reader_t bind_log_reader(log_reader_fields_t& f, std::function<void(event_batch_t&)> on_batch) {
    return log_reader_t{f.parser,        f.char_data,  f.batch_in_progress, f.event_in_progress,
                        f.current_batch, f.start_time, std::move(on_batch), {}};
}

int begin_log_read(log_reader_t& rd) {
    rd.report = log_read_report_t();
    // No encoding given: the document's declaration decides, UTF-8 without one.
    // No external entity handler is set, so nothing but the log is ever read.
    rd.parser = XML_ParserCreate(nullptr);
    if (rd.parser == nullptr) {
        std::fputs("Error: can't create XML parser\n", stderr);
        rd.report.end = LOG_READ_OUT_OF_MEMORY;
        rd.report.reason = "can't create an XML parser";
        return -1;
    }
    XML_SetUserData(rd.parser, &rd);
    XML_SetElementHandler(rd.parser, start_handler, end_handler);
    XML_SetCharacterDataHandler(rd.parser, char_handler);
    return 0;
}

int read_log_piece(log_reader_t& rd, FILE* log) {
    log_read_report_t& r = rd.report;
    void* buf = XML_GetBuffer(rd.parser, read_chunk);
    if (buf == nullptr) {
        std::fputs("XML_GetBuffer() failed\n", stderr);
        if (!r.failed()) {
            r.end = LOG_READ_OUT_OF_MEMORY;
            r.reason = XML_ErrorString(XML_GetErrorCode(rd.parser));
        }
        return -1;
    }
    const size_t n = std::fread(buf, 1, read_chunk, log);
    r.bytes += static_cast<long long>(n);
    if (XML_ParseBuffer(rd.parser, static_cast<int>(n), n == 0) == XML_STATUS_ERROR) {
        std::fputs("XML_ParseBuffer() failed\n", stderr);
        // A stop asked for by a rule has been noted already; anything else
        // is the XML parser's own verdict.
        if (!r.failed()) parser_failed(rd);
        return -1;
    }
    return n == 0 ? 0 : 1;
}

void end_log_read(log_reader_t& rd) {
    if (rd.parser != nullptr) XML_ParserFree(rd.parser);
    rd.parser = nullptr;
}

void start_handler(void* user_data, const XML_Char* name, const XML_Char** attrs) {
    log_reader_t& rd = *static_cast<log_reader_t*>(user_data);
    if (parser_stopped(rd)) return;
    ++rd.report.open_elements;
    if (same_name(name, log_event_tag))
        start_event(rd, attrs);
    else if (same_name(name, log_batch_tag))
        start_batch(rd, attrs);
    else if (same_name(name, log_start_tag))
        start_start(rd, attrs);
    else if (!same_name(name, log_root_tag)) {
        std::fprintf(stderr, "Unrecognized tag '%s'\n", name);
        ++rd.report.unknown_tags;
    }
}

void end_handler(void* user_data, const XML_Char* name) {
    log_reader_t& rd = *static_cast<log_reader_t*>(user_data);
    if (parser_stopped(rd)) return;
    --rd.report.open_elements;
    if (same_name(name, log_event_tag))
        end_event(rd);
    else if (same_name(name, log_batch_tag))
        end_batch(rd);
}

void char_handler(void* user_data, const XML_Char* s, int len) {
    log_reader_t& rd = *static_cast<log_reader_t*>(user_data);
    if (parser_stopped(rd) || len <= 0) return;
    rd.char_data.append(s, static_cast<size_t>(len));
}

// ---- Batch application ---------------------------------------------------------

int process_batch(event_batch_t& batch) {
    std::vector<tk_string> paths;
    std::vector<api_status_t> statuses;
    const tk_string extra;

    // Refused events are erased in place, in one pass: the batch ends exactly
    // as erasing them one by one would leave it.
    std::vector<event_instance_t>& events = batch.events;
    keep_events(batch, [&](const event_instance_t& ev) { return ok_to_use(ev.path, batch.cmd); });
    paths.reserve(events.size());
    for (const event_instance_t& ev : events) paths.push_back(ev.path);
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
